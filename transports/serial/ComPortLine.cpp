// Applying the port's settings to the device through termios.
#include "ComPort.h"

#include "ComThread.h"
#include "Termios2.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

namespace NorvEngineering::Serial {

namespace {

// The rates that have a classic termios speed constant.
speed_t standardSpeed(int32_t rate) {
    switch (rate) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    case 1152000:
        return B1152000;
    case 1500000:
        return B1500000;
    case 2000000:
        return B2000000;
    case 2500000:
        return B2500000;
    case 3000000:
        return B3000000;
    case 3500000:
        return B3500000;
    case 4000000:
        return B4000000;
    default:
        return B0;
    }
}

bool noModemLines(int code) {
    return code == ENOTTY || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP;
}

} // namespace

void TCustomComPort::SetComBufferSizes() {
    if (!GetActive() || designing_())
        return;
    // Linux terminals have queues of a fixed size; the input size only sets when the
    // input queue counts as 80 % full.
    if (m_pEventLink_) {
        const int32_t input = m_pBufferSizes_->Input();
        m_pEventLink_->rx80Threshold = input > 0 ? (input * 4 + 4) / 5 : 0;
    }
}

void TCustomComPort::SetComTimeouts() {
    // The time-outs are kept by the port itself and used by its waits; the device
    // is asked for nothing.
}

void TCustomComPort::SetComDCB() {
    if (!GetActive() || designing_())
        return;

    // First everything that a Linux serial line cannot do, before the device is touched.
    if (m_dataBits_ == db4)
        RaiseError(0, "4 data bits are not available on a Linux serial line");
    if (m_stopBits_ == sb1_5 && m_dataBits_ != db5)
        RaiseError(0, "1.5 stop bits are available on a Linux serial line with 5 data bits only");
    if (m_pFlowControl_->DTR() == dcHandshake)
        RaiseError(0, "DTR handshake is not available on a Linux serial line");
    if (m_pFlowControl_->RTS() == rcToggle)
        RaiseError(0, "RTS toggle is not available on a Linux serial line");
    if (m_options_.contains(opOutputDSRFlow) || m_options_.contains(opDSRSensitivity))
        RaiseError(0, "DSR flow control is not available on a Linux serial line");
    if (m_options_.contains(opDiscardNullBytes))
        RaiseError(0, "Discarding NUL bytes is not available on a Linux serial line");
    if (m_options_.contains(opAbortOnError))
        RaiseError(0, "Stopping transfers on line errors is not available on a Linux serial line");
    if (m_options_.contains(opUseErrorChar) && m_pCharacters_->Error() != 0)
        RaiseError(0, "A Linux serial line replaces characters with parity errors by NUL only");
    const int32_t rate = CustomBaudRate();
    if (m_baudRate_ != brDefault && rate <= 0)
        RaiseError(EINVAL, ComErrorText(EINVAL));

    termios settings{};
    Check(::tcgetattr(m_handle_, &settings) == 0);
    // A terminal still in line mode has been set up for a person at a keyboard, not for
    // a device: its XON/XOFF is the kernel's interactive default, which would take 0x11
    // and 0x13 out of the data and let a received 0x13 stop the output. It goes with
    // the rest of line mode unless XOnXOff asks for it; a line set up otherwise keeps its own.
    const bool lineMode = (settings.c_lflag & ICANON) != 0;

    // A raw byte stream: no echo, no line editing, no signals, no translation of line
    // ends, no stripping. One byte satisfies a read, so a non-blocking read of an
    // empty queue says "would block" and end of file means the line hung up.
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                               IXANY | IMAXBEL | IUCLC | IGNPAR);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag |= CREAD | CLOCAL;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;

    switch (m_dataBits_) {
    case db5:
        settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS5;
        break;
    case db6:
        settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS6;
        break;
    case db7:
        settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7;
        break;
    case db8:
        settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS8;
        break;
    default:
        break;
    }
    const auto parityBits = static_cast<tcflag_t>(PARENB | PARODD | CMSPAR);
    switch (m_parity_) {
    case paNone:
        settings.c_cflag &= ~parityBits;
        break;
    case paOdd:
        settings.c_cflag = (settings.c_cflag & ~parityBits) | PARENB | PARODD;
        break;
    case paEven:
        settings.c_cflag = (settings.c_cflag & ~parityBits) | PARENB;
        break;
    case paMark:
        settings.c_cflag = (settings.c_cflag & ~parityBits) | PARENB | CMSPAR | PARODD;
        break;
    case paSpace:
        settings.c_cflag = (settings.c_cflag & ~parityBits) | PARENB | CMSPAR;
        break;
    default:
        break;
    }
    switch (m_stopBits_) {
    case sb1:
        settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
        break;
    case sb1_5: // with 5 data bits the line sends 1.5 stop bits for CSTOPB
    case sb2:
        settings.c_cflag |= CSTOPB;
        break;
    default:
        break;
    }

    settings.c_cc[VSTART] = static_cast<cc_t>(m_pCharacters_->XOn());
    settings.c_cc[VSTOP] = static_cast<cc_t>(m_pCharacters_->XOff());
    switch (m_pFlowControl_->XOnXOff()) {
    case xcDefault:
        if (lineMode)
            settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
        break;
    case xcDisable:
        settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
        break;
    case xcInput:
        settings.c_iflag = (settings.c_iflag & ~static_cast<tcflag_t>(IXON)) | IXOFF;
        break;
    case xcOutput:
        settings.c_iflag = (settings.c_iflag & ~static_cast<tcflag_t>(IXOFF)) | IXON;
        break;
    case xcInputOutput:
        settings.c_iflag |= IXON | IXOFF;
        break;
    default:
        break;
    }
    // Linux has one switch for both directions of hardware flow control.
    if (m_options_.contains(opOutputCTSFlow) || m_pFlowControl_->RTS() == rcHandshake)
        settings.c_cflag |= CRTSCTS;
    else
        settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (m_options_.contains(opCheckParity))
        settings.c_iflag |= INPCK;
    else
        settings.c_iflag &= ~static_cast<tcflag_t>(INPCK);

    speed_t speed = B0;
    if (m_baudRate_ != brDefault) {
        speed = standardSpeed(rate);
        if (speed != B0) {
            // An input rate left over from termios2 would stay: input follows output.
            settings.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
            ::cfsetispeed(&settings, speed);
            ::cfsetospeed(&settings, speed);
        }
    }
    Check(::tcsetattr(m_handle_, TCSANOW, &settings) == 0);
    if (m_baudRate_ != brDefault && speed == B0) {
        if (const int code = Termios2::setRate(m_handle_, static_cast<uint32_t>(rate)); code != 0)
            RaiseError(code, ComErrorText(code));
    }
    applyModemControl_();
}

// DTR and RTS levels; a device without modem lines (a pseudo-terminal) has nothing to set.
void TCustomComPort::applyModemControl_() {
    auto setLine = [this](int line, bool on) {
        if (::ioctl(m_handle_, on ? TIOCMBIS : TIOCMBIC, &line) != 0 && !noModemLines(errno))
            Check(false);
    };
    switch (m_pFlowControl_->DTR()) {
    case dcDisable:
        setLine(TIOCM_DTR, false);
        break;
    case dcEnable:
        setLine(TIOCM_DTR, true);
        break;
    default:
        break;
    }
    switch (m_pFlowControl_->RTS()) {
    case rcDisable:
        setLine(TIOCM_RTS, false);
        break;
    case rcEnable:
        setLine(TIOCM_RTS, true);
        break;
    default:
        break;
    }
}

} // namespace NorvEngineering::Serial
