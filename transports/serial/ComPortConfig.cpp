// The configuration record: the port's properties to and from the record, the
// device's default configuration (the settings it keeps now) and the dialogs.
#include "ComPort.h"

#include "ComDevices.h"
#include "Termios2.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <limits>

namespace NorvEngineering::Serial {

namespace {

// The record's value of each enumeration value, in ordinal order. A default value
// shares its value with a named one; reading a record back, the named one wins.
constexpr uint8_t kByteSizes[] = {8, 4, 5, 6, 7, 8};
constexpr uint8_t kParities[] = {TComConfig::kNoParity,   TComConfig::kNoParity,   TComConfig::kOddParity,
                                 TComConfig::kEvenParity, TComConfig::kMarkParity, TComConfig::kSpaceParity};
constexpr uint8_t kStopBits[] = {TComConfig::kOneStopBit, TComConfig::kOneStopBit, TComConfig::kOne5StopBits,
                                 TComConfig::kTwoStopBits};
constexpr uint8_t kDtrControls[] = {TComConfig::kControlDisable, TComConfig::kControlDisable,
                                    TComConfig::kControlEnable, TComConfig::kControlHandshake};
constexpr uint8_t kRtsControls[] = {TComConfig::kControlDisable, TComConfig::kControlDisable,
                                    TComConfig::kControlEnable, TComConfig::kControlHandshake,
                                    TComConfig::kControlToggle};
// XON/XOFF controls as InX (1) and OutX (2).
constexpr uint8_t kXOnXOffs[] = {0, 0, 1, 2, 3};
constexpr bool TComConfig::*kOptionFlags[] = {&TComConfig::CheckParity,      &TComConfig::OutxCtsFlow,
                                              &TComConfig::OutxDsrFlow,      &TComConfig::DsrSensitivity,
                                              &TComConfig::TXContinueOnXoff, &TComConfig::UseErrorChar,
                                              &TComConfig::DiscardNull,      &TComConfig::AbortOnError};

// The last enumeration value whose record value is `value`; the default value
// (ordinal 0) when none is.
template <typename Enum, std::size_t N>
Enum lastMatch(const uint8_t (&table)[N], unsigned value) {
    Enum found{};
    for (std::size_t i = 0; i < N; ++i)
        if (table[i] == value)
            found = static_cast<Enum>(i);
    return found;
}

bool noModemLines(int code) {
    return code == ENOTTY || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP;
}

[[noreturn]] void raiseErrno(TCustomComPort& port, int code) {
    errno = 0;
    port.RaiseError(code, ComErrorText(code));
}

// A descriptor of the port's device: the port's own while it is open, else one of
// its own for as long as it lives.
class TDeviceDescriptor {
public:
    TDeviceDescriptor(TCustomComPort& port, bool exclusive) {
        if (port.Handle() >= 0) {
            m_fd_ = port.Handle();
            return;
        }
        const std::string path = ComDevicePath(port.DeviceName());
        m_owned_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (m_owned_ < 0)
            raiseErrno(port, errno);
        int code = 0;
        if (::isatty(m_owned_) == 0)
            code = ENOTTY;
        else if (exclusive && ::flock(m_owned_, LOCK_EX | LOCK_NB) != 0)
            code = errno == EWOULDBLOCK ? EBUSY : errno;
        if (code != 0) {
            ::close(m_owned_);
            raiseErrno(port, code);
        }
        m_fd_ = m_owned_;
    }
    TDeviceDescriptor(const TDeviceDescriptor&) = delete;
    TDeviceDescriptor& operator=(const TDeviceDescriptor&) = delete;
    ~TDeviceDescriptor() {
        if (m_owned_ >= 0)
            ::close(m_owned_);
    }

    int fd() const { return m_fd_; }

private:
    int m_fd_ = -1;
    int m_owned_ = -1;
};

bool noDialog(TCustomComPort& port) {
    try {
        port.RaiseError(0, "No configuration dialog is set for this port");
    } catch (const EComError&) {
    }
    return false;
}

} // namespace

// ---- properties and record ------------------------------------------------------------

void TCustomComPort::CopyDCBTo(TComConfig& config) const {
    if (m_baudRate_ != brDefault)
        config.BaudRate = static_cast<uint32_t>(std::max(CustomBaudRate(), 0));
    if (m_dataBits_ != dbDefault)
        config.ByteSize = kByteSizes[m_dataBits_];
    if (m_parity_ != paDefault)
        config.Parity = kParities[m_parity_];
    if (m_stopBits_ != sbDefault)
        config.StopBits = kStopBits[m_stopBits_];
    const TCharacters& characters = *m_pCharacters_;
    config.XonChar = characters.XOn();
    config.XoffChar = characters.XOff();
    config.ErrorChar = characters.Error();
    config.EofChar = characters.Eof();
    config.EvtChar = characters.Event();
    const TFlowControl& flow = *m_pFlowControl_;
    if (flow.DTR() != dcDefault)
        config.DtrControl = kDtrControls[flow.DTR()];
    if (flow.RTS() != rcDefault)
        config.RtsControl = kRtsControls[flow.RTS()];
    if (flow.XOnXOff() != xcDefault) {
        config.InX = (kXOnXOffs[flow.XOnXOff()] & 1) != 0;
        config.OutX = (kXOnXOffs[flow.XOnXOff()] & 2) != 0;
    }
    config.XonLim = flow.XOnLimit();
    config.XoffLim = flow.XOffLimit();
    for (std::size_t option = 0; option < std::size(kOptionFlags); ++option)
        config.*kOptionFlags[option] = m_options_.contains(static_cast<TOption>(option));
}

void TCustomComPort::CopyDCB(const TComConfig& config) {
    SetCustomBaudRate(static_cast<int32_t>(
        std::min<uint32_t>(config.BaudRate, static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))));
    m_dataBits_ = lastMatch<TDataBits>(kByteSizes, config.ByteSize);
    m_parity_ = lastMatch<TParity>(kParities, config.Parity);
    m_stopBits_ = lastMatch<TStopBits>(kStopBits, config.StopBits);
    m_pCharacters_->SetXOn(config.XonChar);
    m_pCharacters_->SetXOff(config.XoffChar);
    m_pCharacters_->SetError(config.ErrorChar);
    m_pCharacters_->SetEof(config.EofChar);
    m_pCharacters_->SetEvent(config.EvtChar);
    TFlowControl& flow = *m_pFlowControl_;
    flow.m_dtr_ = lastMatch<TDTRControl>(kDtrControls, config.DtrControl);
    flow.m_rts_ = lastMatch<TRTSControl>(kRtsControls, config.RtsControl);
    flow.m_xOnXOff_ = lastMatch<TXOnXOffControl>(kXOnXOffs, (config.InX ? 1U : 0U) | (config.OutX ? 2U : 0U));
    flow.SetXOnLimit(config.XonLim);
    flow.SetXOffLimit(config.XoffLim);
    TOptions options;
    for (std::size_t option = 0; option < std::size(kOptionFlags); ++option)
        if (config.*kOptionFlags[option])
            options.include(static_cast<TOption>(option));
    SetOptions(options);
}

// ---- the device's default configuration ---------------------------------------------

TComConfig TCustomComPort::DefaultConfig() {
    const TDeviceDescriptor device(*this, false);
    const int fd = device.fd();
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        raiseErrno(*this, errno);
    uint32_t inputRate = 0;
    uint32_t outputRate = 0;
    if (const int code = Termios2::readRates(fd, inputRate, outputRate); code != 0)
        raiseErrno(*this, code);

    TComConfig config;
    config.BaudRate = outputRate;
    switch (settings.c_cflag & CSIZE) {
    case CS5:
        config.ByteSize = 5;
        break;
    case CS6:
        config.ByteSize = 6;
        break;
    case CS7:
        config.ByteSize = 7;
        break;
    default:
        config.ByteSize = 8;
        break;
    }
    const tcflag_t flags = settings.c_cflag;
    if ((flags & PARENB) == 0)
        config.Parity = TComConfig::kNoParity;
    else if ((flags & CMSPAR) != 0)
        config.Parity = (flags & PARODD) != 0 ? TComConfig::kMarkParity : TComConfig::kSpaceParity;
    else
        config.Parity = (flags & PARODD) != 0 ? TComConfig::kOddParity : TComConfig::kEvenParity;
    // With 5 data bits, the second stop bit of a UART is half a bit long.
    if ((flags & CSTOPB) == 0)
        config.StopBits = TComConfig::kOneStopBit;
    else
        config.StopBits = config.ByteSize == 5 ? TComConfig::kOne5StopBits : TComConfig::kTwoStopBits;
    config.XonChar = static_cast<char>(settings.c_cc[VSTART]);
    config.XoffChar = static_cast<char>(settings.c_cc[VSTOP]);
    config.InX = (settings.c_iflag & IXOFF) != 0;
    config.OutX = (settings.c_iflag & IXON) != 0;
    config.CheckParity = (settings.c_iflag & INPCK) != 0;
    config.OutxCtsFlow = (flags & CRTSCTS) != 0;
    // The levels of DTR and RTS are the device's; one without modem lines counts as
    // having them raised, as an open does on a real line.
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (m_lineCalls_.getModemLines(fd, lines) != 0) {
        if (!noModemLines(errno))
            raiseErrno(*this, errno);
        lines = TIOCM_DTR | TIOCM_RTS;
    }
    config.DtrControl = (lines & TIOCM_DTR) != 0 ? TComConfig::kControlEnable : TComConfig::kControlDisable;
    if ((flags & CRTSCTS) != 0)
        config.RtsControl = TComConfig::kControlHandshake;
    else
        config.RtsControl =
            (lines & TIOCM_RTS) != 0 ? TComConfig::kControlEnable : TComConfig::kControlDisable;
    return config;
}

void TCustomComPort::SetDefaultConfig(const TComConfig& config) {
    // First everything that a Linux serial line cannot take, before the device is touched.
    if (config.ByteSize == 4)
        RaiseError(0, "4 data bits are not available on a Linux serial line");
    if (config.StopBits == TComConfig::kOne5StopBits && config.ByteSize != 5)
        RaiseError(0, "1.5 stop bits are available on a Linux serial line with 5 data bits only");
    if (config.DtrControl == TComConfig::kControlHandshake)
        RaiseError(0, "DTR handshake is not available on a Linux serial line");
    if (config.RtsControl == TComConfig::kControlToggle)
        RaiseError(0, "RTS toggle is not available on a Linux serial line");
    if (config.OutxDsrFlow || config.DsrSensitivity)
        RaiseError(0, "DSR flow control is not available on a Linux serial line");
    if (config.DiscardNull)
        RaiseError(0, "Discarding NUL bytes is not available on a Linux serial line");
    if (config.AbortOnError)
        RaiseError(0, "Stopping transfers on line errors is not available on a Linux serial line");
    if (config.UseErrorChar && config.ErrorChar != 0)
        RaiseError(0, "A Linux serial line replaces characters with parity errors by NUL only");
    if (config.ByteSize < 5 || config.ByteSize > 8 || config.Parity > TComConfig::kSpaceParity ||
        config.StopBits > TComConfig::kTwoStopBits || config.DtrControl > TComConfig::kControlHandshake ||
        config.RtsControl > TComConfig::kControlToggle || config.BaudRate == 0 ||
        config.BaudRate > static_cast<uint32_t>(std::numeric_limits<int32_t>::max()))
        raiseErrno(*this, EINVAL);

    const TDeviceDescriptor device(*this, true);
    const int fd = device.fd();
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0)
        raiseErrno(*this, errno);
    constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | kSizes[config.ByteSize - 5];
    constexpr tcflag_t kParityFlags[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                         PARENB | CMSPAR};
    settings.c_cflag =
        (settings.c_cflag & ~static_cast<tcflag_t>(PARENB | PARODD | CMSPAR)) | kParityFlags[config.Parity];
    if (config.StopBits == TComConfig::kOneStopBit)
        settings.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    else
        settings.c_cflag |= CSTOPB;
    settings.c_cc[VSTART] = static_cast<cc_t>(config.XonChar);
    settings.c_cc[VSTOP] = static_cast<cc_t>(config.XoffChar);
    auto setFlag = [](tcflag_t& field, tcflag_t flag, bool on) { field = on ? field | flag : field & ~flag; };
    setFlag(settings.c_iflag, IXOFF, config.InX);
    setFlag(settings.c_iflag, IXON, config.OutX);
    setFlag(settings.c_iflag, INPCK, config.CheckParity);
    // Linux has one switch for both directions of hardware flow control.
    setFlag(settings.c_cflag, CRTSCTS,
            config.OutxCtsFlow || config.RtsControl == TComConfig::kControlHandshake);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0)
        raiseErrno(*this, errno);
    uint32_t inputRate = 0;
    uint32_t outputRate = 0;
    if (Termios2::readRates(fd, inputRate, outputRate) != 0 || inputRate != config.BaudRate ||
        outputRate != config.BaudRate) {
        if (const int code = Termios2::setRate(fd, config.BaudRate); code != 0)
            raiseErrno(*this, code);
    }
    auto setLine = [this, fd](int line, uint8_t control) {
        if (control != TComConfig::kControlDisable && control != TComConfig::kControlEnable)
            return;
        if (m_lineCalls_.setModemLines(fd, line, control == TComConfig::kControlEnable) != 0 &&
            !noModemLines(errno))
            raiseErrno(*this, errno);
    };
    setLine(TIOCM_DTR, config.DtrControl);
    setLine(TIOCM_RTS, config.RtsControl);
}

// ---- dialogs -------------------------------------------------------------------------

bool TCustomComPort::ConfigDialog() {
    if (!OnConfigDialog)
        return noDialog(*this);
    TComConfig config = DefaultConfig();
    CopyDCBTo(config);
    if (!OnConfigDialog(this, m_deviceName_, config))
        return false;
    CopyDCB(config);
    SetComDCB();
    return true;
}

bool TCustomComPort::DefaultConfigDialog() {
    if (!OnConfigDialog)
        return noDialog(*this);
    TComConfig config = DefaultConfig();
    if (!OnConfigDialog(this, m_deviceName_, config))
        return false;
    SetDefaultConfig(config);
    return true;
}

// ---- devices ------------------------------------------------------------------------

void TCustomComPort::EnumDevices(Platform::TStrings* list) const {
    if (list == nullptr)
        return;
    for (const auto& path : TerminalDevicePaths())
        list->Add(path);
}

} // namespace NorvEngineering::Serial
