#include "BadConversion.h"

#include <algorithm>
#include <cstring>

namespace NorvEngineering::Util::String {

namespace {
void copyMessage(char (&target)[CBadConversion::kMessageCapacity], const char* text, std::size_t length) {
    const std::size_t kept = std::min(length, CBadConversion::kMessageCapacity - 1);
    std::memcpy(target, text, kept);
    target[kept] = '\0';
}
} // namespace

CBadConversion::CBadConversion(const std::string& text)
    : std::runtime_error(text.substr(0, kMessageCapacity - 1)), m_message_{} {
    copyMessage(m_message_, text.data(), text.size());
}

CBadConversion::CBadConversion(const CBadConversion& other) noexcept
    : std::runtime_error(other), m_message_{} {
    std::memcpy(m_message_, other.m_message_, kMessageCapacity);
}

CBadConversion& CBadConversion::operator=(const CBadConversion& other) noexcept {
    std::runtime_error::operator=(other);
    std::memcpy(m_message_, other.m_message_, kMessageCapacity);
    return *this;
}

CBadConversion::~CBadConversion() = default;

const char* CBadConversion::what() const noexcept {
    return m_message_;
}

} // namespace NorvEngineering::Util::String
