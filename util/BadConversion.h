#pragma once

#include <stdexcept>
#include <string>

namespace NorvEngineering::Util::String {

// Thrown when a text cannot be read as the number a parameter needs. The message is
// the offending text, kept in a fixed buffer so that copying the exception never
// allocates and a runaway reply cannot blow up the error path.
class CBadConversion : public std::runtime_error {
public:
    static constexpr std::size_t kMessageCapacity = 256;

    explicit CBadConversion(const std::string& text);
    CBadConversion(const CBadConversion& other) noexcept;
    CBadConversion& operator=(const CBadConversion& other) noexcept;
    ~CBadConversion() override;

    const char* what() const noexcept override;

private:
    char m_message_[kMessageCapacity];
};

} // namespace NorvEngineering::Util::String
