// Direct control of the line: modem lines, break, flow and single characters.
#include "ComPort.h"

#include "ComThread.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace NorvEngineering::Serial {

namespace {

// A failed call raises the system's error even when errno says "in progress" or
// nothing at all: a control call that did not happen must never look as if it had.
void checkCall(TCustomComPort& port, int result) {
    if (result == 0)
        return;
    const int code = errno != 0 ? errno : EIO;
    errno = 0;
    port.RaiseError(code, ComErrorText(code));
}

} // namespace

TModemStatus ModemStatusFromLines(int lines) {
    TModemStatus status;
    if ((lines & TIOCM_CTS) != 0)
        status.include(msCTS);
    if ((lines & TIOCM_DSR) != 0)
        status.include(msDSR);
    if ((lines & TIOCM_RI) != 0)
        status.include(msRing);
    if ((lines & TIOCM_CD) != 0)
        status.include(msRLSD);
    return status;
}

TLineControlCalls TLineControlCalls::System() {
    TLineControlCalls calls;
    calls.getModemLines = [](int fd, int& lines) { return ::ioctl(fd, TIOCMGET, &lines); };
    calls.setModemLines = [](int fd, int lines, bool on) {
        return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &lines);
    };
    calls.setBreak = [](int fd, bool on) { return ::ioctl(fd, on ? TIOCSBRK : TIOCCBRK); };
    calls.flow = [](int fd, int action) { return ::tcflow(fd, action); };
    return calls;
}

void TCustomComPort::TransmitChar(char value) {
    CheckActive();
    // While SetXOff holds the output the kernel would drop even its START and STOP
    // characters without a word.
    if (m_outputSuspended_)
        RaiseError(EAGAIN, ComErrorText(EAGAIN));
    termios settings{};
    checkCall(*this, ::tcgetattr(m_handle_, &settings));
    const auto character = static_cast<cc_t>(value);
    // The kernel sends its START and STOP characters ahead of its whole queue.
    int action = -1;
    if (character != _POSIX_VDISABLE && character == settings.c_cc[VSTART])
        action = TCION;
    else if (character != _POSIX_VDISABLE && character == settings.c_cc[VSTOP])
        action = TCIOFF;
    if (action >= 0) {
        checkCall(*this, m_lineCalls_.flow(m_handle_, action));
    } else {
        ssize_t put = 0;
        do
            put = ::write(m_handle_, &value, 1);
        while (put < 0 && errno == EINTR);
        if (put != 1) {
            const int code = put == 0 ? EAGAIN : errno;
            RaiseError(code, ComErrorText(code));
        }
    }
    if (m_pEventLink_)
        m_pEventLink_->wroteSinceTxEmpty = true;
}

void TCustomComPort::SetBreak() {
    CheckActive();
    checkCall(*this, m_lineCalls_.setBreak(m_handle_, true));
}

void TCustomComPort::ClearBreak() {
    CheckActive();
    checkCall(*this, m_lineCalls_.setBreak(m_handle_, false));
}

void TCustomComPort::SetDTR() {
    CheckActive();
    checkCall(*this, m_lineCalls_.setModemLines(m_handle_, TIOCM_DTR, true));
}

void TCustomComPort::ClearDTR() {
    CheckActive();
    checkCall(*this, m_lineCalls_.setModemLines(m_handle_, TIOCM_DTR, false));
}

void TCustomComPort::SetRTS() {
    CheckActive();
    checkCall(*this, m_lineCalls_.setModemLines(m_handle_, TIOCM_RTS, true));
}

void TCustomComPort::ClearRTS() {
    CheckActive();
    checkCall(*this, m_lineCalls_.setModemLines(m_handle_, TIOCM_RTS, false));
}

void TCustomComPort::SetXOn() {
    CheckActive();
    // Resuming alone undoes only a suspension of our own; suspending first makes it
    // lift an XOFF received from the other side as well.
    checkCall(*this, m_lineCalls_.flow(m_handle_, TCOOFF));
    checkCall(*this, m_lineCalls_.flow(m_handle_, TCOON));
    m_outputSuspended_ = false;
}

void TCustomComPort::SetXOff() {
    CheckActive();
    checkCall(*this, m_lineCalls_.flow(m_handle_, TCOOFF));
    m_outputSuspended_ = true;
}

void TCustomComPort::ResetDevice() {
    CheckActive();
    RaiseError(0, "Resetting the device is not available on a Linux serial line");
}

TModemStatus TCustomComPort::ModemStatus() {
    if (designing_())
        return {};
    CheckActive();
    int lines = 0;
    checkCall(*this, m_lineCalls_.getModemLines(m_handle_, lines));
    return ModemStatusFromLines(lines);
}

} // namespace NorvEngineering::Serial
