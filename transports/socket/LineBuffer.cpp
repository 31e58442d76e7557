#include "LineBuffer.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace NorvEngineering::Sockets {

char* TLineBuffer::reserve(std::size_t count) {
    if (m_start_ + m_count_ + count > m_bytes_.size()) {
        if (m_start_ > 0) {
            std::memmove(m_bytes_.data(), m_bytes_.data() + m_start_, m_count_);
            m_start_ = 0;
        }
        if (m_count_ + count > m_bytes_.size())
            m_bytes_.resize(std::max(m_count_ + count, m_bytes_.size() * 2));
    }
    return m_bytes_.data() + m_start_ + m_count_;
}

std::size_t TLineBuffer::find(const std::string& end, std::size_t from) const {
    if (end.empty() || from >= m_count_)
        return npos;
    const std::string_view text(data(), m_count_);
    const std::size_t at = text.find(end, from);
    return at == std::string_view::npos ? npos : at;
}

std::size_t TLineBuffer::take(void* out, std::size_t count) {
    count = std::min(count, m_count_);
    if (count > 0)
        std::memcpy(out, data(), count);
    drop(count);
    return count;
}

void TLineBuffer::drop(std::size_t count) {
    count = std::min(count, m_count_);
    m_start_ += count;
    m_count_ -= count;
    if (m_count_ == 0)
        m_start_ = 0;
}

void TLineBuffer::release() {
    clear();
    std::vector<char>().swap(m_bytes_);
}

std::size_t TLineBuffer::lineStart(std::size_t from, std::size_t at, const std::string& lineEnd) const {
    if (lineEnd.empty())
        return from;
    const std::string_view text(data(), at);
    for (std::size_t end = text.find(lineEnd, from); end != std::string_view::npos;
         end = text.find(lineEnd, from))
        from = end + lineEnd.size();
    return from;
}

std::size_t TLineBuffer::edit(std::size_t newFrom, std::size_t floor, const std::string& lineEnd,
                              std::string* echo) {
    floor = std::min(floor, newFrom);
    const char* bytes = data();
    const auto isEdit = [](char c) { return c == '\b' || c == '\t'; };
    const auto firstEdit =
        static_cast<std::size_t>(std::find_if(bytes + newFrom, bytes + m_count_, isEdit) - bytes);
    if (firstEdit == m_count_) {
        // Nothing to edit: the bytes stay where they are.
        if (echo != nullptr)
            echo->append(bytes + newFrom, m_count_ - newFrom);
        return newFrom;
    }
    if (echo != nullptr)
        echo->append(bytes + newFrom, firstEdit - newFrom);
    floor = lineStart(floor, firstEdit, lineEnd);
    // The edited text from `floor` on; the line being edited begins at `line` in it.
    std::string text(bytes + floor, firstEdit - floor);
    std::size_t line = 0;
    const auto append = [&](char c) {
        text += c;
        if (!lineEnd.empty() && text.size() - line >= lineEnd.size() &&
            text.compare(text.size() - lineEnd.size(), lineEnd.size(), lineEnd) == 0)
            line = text.size(); // a complete line is beyond the reach of later edits
    };
    std::size_t lowest = newFrom;
    for (std::size_t i = firstEdit; i < m_count_; ++i) {
        const char c = bytes[i];
        if (c == '\b') {
            if (text.size() > line) {
                text.pop_back();
                lowest = std::min(lowest, floor + text.size());
                if (echo != nullptr)
                    echo->append("\b \b");
            }
        } else if (c == '\t') {
            const std::size_t blanks = 8 - (text.size() - line) % 8;
            for (std::size_t b = 0; b < blanks; ++b)
                append(' ');
            if (echo != nullptr)
                echo->append(blanks, ' ');
        } else {
            append(c);
            if (echo != nullptr)
                *echo += c;
        }
    }
    // Tabs may make the text longer than what came.
    const std::size_t total = floor + text.size();
    if (total > m_count_)
        reserve(total - m_count_);
    std::memcpy(m_bytes_.data() + m_start_ + floor, text.data(), text.size());
    m_count_ = total;
    return lowest;
}

} // namespace NorvEngineering::Sockets
