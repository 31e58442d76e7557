#pragma once

#include <cstdint>
#include <string>

namespace NorvEngineering::SensorLib {

// Errors are handed to the sink by reference and live only for that call; they are
// not thrown.
class CSensorLibError {
public:
    CSensorLibError(int32_t code, const std::string& message, const std::string& place);
    CSensorLibError(const CSensorLibError&) = default;
    CSensorLibError& operator=(const CSensorLibError&) = default;
    virtual ~CSensorLibError();

    int32_t getCode() const { return m_code_; }
    std::string getMessage() const { return m_message_; }
    std::string getPlace() const { return m_place_; }

private:
    int32_t m_code_;
    std::string m_message_;
    std::string m_place_;
};

// A sensor's own error reply.
class CSensorError : public CSensorLibError {
public:
    explicit CSensorError(int32_t code);
    ~CSensorError() override;
};

// A transport failure, with the system's or the component's text.
class CInterfaceError : public CSensorLibError {
public:
    CInterfaceError(int32_t code, const std::string& message, const std::string& place);
    ~CInterfaceError() override;
};

// An error reply of a Vkr25-family sensor ("E15" ... "E64"). The code is -1 when the
// text is not one the sensors send.
class CVkr25Error : public CSensorError {
public:
    explicit CVkr25Error(const std::string& codeText);
    ~CVkr25Error() override;

    // Whether the first three characters of a reply are a known error code.
    static bool isErrorReply(const std::string& reply);
};

// Build and release the code table; both are called around static initialisation,
// and a lookup builds the table on first use if it runs earlier than that.
void initVkr25ErrorCodes();
void releaseVkr25ErrorCodes();
std::size_t vkr25ErrorCodeCount();

} // namespace NorvEngineering::SensorLib
