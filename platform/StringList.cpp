#include "StringList.h"

namespace NorvEngineering::Platform {

long TStrings::IndexOf(const std::string& item) const {
    for (std::size_t i = 0; i < m_items_.size(); ++i)
        if (m_items_[i] == item)
            return static_cast<long>(i);
    return -1;
}

std::string TStrings::Text() const {
    std::string text;
    for (const auto& item : m_items_) {
        text += item;
        text += '\n';
    }
    return text;
}

} // namespace NorvEngineering::Platform
