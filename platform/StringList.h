#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace NorvEngineering::Platform {

// An ordered list of strings, as the settings dialogs fill them.
class TStrings {
public:
    void Clear() { m_items_.clear(); }
    std::size_t Add(const std::string& item) {
        m_items_.push_back(item);
        return m_items_.size() - 1;
    }
    std::size_t Count() const { return m_items_.size(); }
    const std::string& operator[](std::size_t index) const { return m_items_.at(index); }
    // Index of the first equal item, or -1.
    long IndexOf(const std::string& item) const;
    // The items, each ended by a line feed.
    std::string Text() const;
    const std::vector<std::string>& items() const { return m_items_; }

private:
    std::vector<std::string> m_items_;
};

using TStringList = TStrings;

} // namespace NorvEngineering::Platform
