#pragma once

#include <string>

namespace NorvEngineering::Util::String {

// Splits a text at a delimiter matched as a whole substring. Runs of the delimiter
// count as one and a delimiter at either end is dropped, so "a,,b," holds "a,b".
class StringTokenizer {
public:
    StringTokenizer(const std::string& text, const std::string& delimiter);

    unsigned int countTokens() const;
    std::string nextToken();
    std::string remainder() const { return m_text_; }
    std::string nextTokenStripped(const std::string& strip);

private:
    std::string m_text_;
    std::string m_delimiter_;
};

// Replaces every occurrence of `search` by `replacement`, searching again from the
// start after each replacement. An empty search text, or a replacement that contains
// the search text (which would never terminate), returns the text unchanged.
std::string replaceAll(std::string text, const std::string& search, const std::string& replacement);

} // namespace NorvEngineering::Util::String
