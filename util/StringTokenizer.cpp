#include "StringTokenizer.h"

namespace NorvEngineering::Util::String {

StringTokenizer::StringTokenizer(const std::string& text, const std::string& delimiter) {
    if (text.empty() || delimiter.empty())
        return;
    m_text_ = text;
    m_delimiter_ = delimiter;

    const std::size_t width = m_delimiter_.size();
    std::size_t pos = m_text_.find(m_delimiter_);
    while (pos != std::string::npos) {
        const std::size_t after = pos + width;
        while (m_text_.compare(after, width, m_delimiter_) == 0)
            m_text_.erase(after, width);
        pos = m_text_.find(m_delimiter_, after);
    }

    if (m_text_.compare(0, width, m_delimiter_) == 0)
        m_text_.erase(0, width);

    const std::size_t last = m_text_.rfind(m_delimiter_);
    if (last != std::string::npos && last + width == m_text_.size())
        m_text_.erase(last);
}

unsigned int StringTokenizer::countTokens() const {
    if (m_text_.empty())
        return 0;
    unsigned int count = 1;
    for (std::size_t pos = m_text_.find(m_delimiter_); pos != std::string::npos;
         pos = m_text_.find(m_delimiter_, pos + m_delimiter_.size()))
        ++count;
    return count;
}

std::string StringTokenizer::nextToken() {
    if (m_text_.empty())
        return {};
    const std::size_t pos = m_text_.find(m_delimiter_);
    if (pos == std::string::npos) {
        std::string token;
        token.swap(m_text_);
        return token;
    }
    std::string token = m_text_.substr(0, pos);
    m_text_.erase(0, pos + m_delimiter_.size());
    return token;
}

std::string StringTokenizer::nextTokenStripped(const std::string& strip) {
    std::string token = nextToken();
    if (strip.empty())
        return token;
    for (std::size_t pos = token.find(strip); pos != std::string::npos; pos = token.find(strip, pos))
        token.erase(pos, strip.size());
    return token;
}

std::string replaceAll(std::string text, const std::string& search, const std::string& replacement) {
    if (search.empty() || replacement.find(search) != std::string::npos)
        return text;
    for (std::size_t pos = text.find(search); pos != std::string::npos; pos = text.find(search))
        text.replace(pos, search.size(), replacement);
    return text;
}

} // namespace NorvEngineering::Util::String
