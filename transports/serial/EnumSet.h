#pragma once

#include <cstdint>
#include <initializer_list>

namespace NorvEngineering::Serial {

// A set of the values of a small enumeration (at most 32 values), as the component's
// option and error sets are.
template <typename Enum>
class TEnumSet {
public:
    constexpr TEnumSet() = default;
    constexpr TEnumSet(std::initializer_list<Enum> items) {
        for (const Enum item : items)
            include(item);
    }

    constexpr bool contains(Enum item) const { return (m_bits_ & bit(item)) != 0; }
    constexpr void include(Enum item) { m_bits_ |= bit(item); }
    constexpr void exclude(Enum item) { m_bits_ &= ~bit(item); }
    constexpr bool empty() const { return m_bits_ == 0; }
    constexpr uint32_t bits() const { return m_bits_; }

    friend constexpr bool operator==(TEnumSet a, TEnumSet b) { return a.m_bits_ == b.m_bits_; }
    friend constexpr TEnumSet operator|(TEnumSet a, TEnumSet b) {
        a.m_bits_ |= b.m_bits_;
        return a;
    }

private:
    static constexpr uint32_t bit(Enum item) { return uint32_t{1} << static_cast<unsigned>(item); }

    uint32_t m_bits_ = 0;
};

} // namespace NorvEngineering::Serial
