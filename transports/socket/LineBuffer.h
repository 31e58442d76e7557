#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace NorvEngineering::Sockets {

// The receive buffer of line mode: bytes are appended at the back and taken from the
// front. Taking only moves a start mark, so reading a long run of short lines costs
// no copying; the bytes move down only when room is needed at the back.
class TLineBuffer {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    std::size_t size() const { return m_count_; }
    bool empty() const { return m_count_ == 0; }
    const char* data() const { return m_bytes_.data() + m_start_; }

    // Room for `count` more bytes after the buffered ones; `commit` takes what was written.
    char* reserve(std::size_t count);
    void commit(std::size_t count) { m_count_ += count; }

    // The first position at or after `from` where the whole of `end` stands.
    std::size_t find(const std::string& end, std::size_t from) const;
    // Copies up to `count` bytes from the front and drops them.
    std::size_t take(void* out, std::size_t count);
    void drop(std::size_t count);
    void clear() { m_start_ = m_count_ = 0; }
    // Gives the memory back.
    void release();

    // Applies backspace (8: removes the last character) and tab (9: blanks up to the
    // next multiple of 8) to the bytes from `newFrom` on. Editing stays within the line
    // it is in: it never reaches back past the end of the last complete line (the last
    // `lineEnd`), nor before `floor`, so the lines come out the same however the bytes
    // were split when they came. What a terminal should show is added to `echo` when
    // given. Returns the lowest position whose byte changed or was added, which is
    // `newFrom` unless a backspace reached further back.
    std::size_t edit(std::size_t newFrom, std::size_t floor, const std::string& lineEnd, std::string* echo);

private:
    // Where the line that holds position `at` begins: after the last whole `lineEnd`
    // that ends at or before `at`, searching from `from` (a line start) on.
    std::size_t lineStart(std::size_t from, std::size_t at, const std::string& lineEnd) const;

    std::vector<char> m_bytes_;
    std::size_t m_start_ = 0;
    std::size_t m_count_ = 0;
};

} // namespace NorvEngineering::Sockets
