#pragma once

namespace NorvEngineering::Util {

// A lookup table built once and released at program end. The object itself is
// constant-initialised, so a table can be read from any other static initialiser,
// whatever the order of initialisation across files: the first reader builds it.
// Creating and filling are guarded separately so that a second init does nothing.
// After release the table reads as empty rather than being rebuilt and leaked.
template <typename Map>
class GuardedTable {
public:
    using Filler = void (*)(Map&);

    explicit constexpr GuardedTable(Filler filler) : m_filler_(filler) {}
    GuardedTable(const GuardedTable&) = delete;
    GuardedTable& operator=(const GuardedTable&) = delete;

    void init() {
        if (m_released_)
            return;
        if (!m_created_) {
            m_pMap_ = new Map();
            m_created_ = true;
        }
        if (!m_filled_) {
            m_filler_(*m_pMap_);
            m_filled_ = true;
        }
    }

    void release() {
        if (m_pMap_ != nullptr)
            m_pMap_->clear();
        delete m_pMap_;
        m_pMap_ = nullptr;
        m_created_ = false;
        m_filled_ = false;
        m_released_ = true;
    }

    const Map& get() {
        init();
        if (m_pMap_ == nullptr) {
            static const Map empty;
            return empty;
        }
        return *m_pMap_;
    }

private:
    Map* m_pMap_ = nullptr;
    bool m_created_ = false;
    bool m_filled_ = false;
    bool m_released_ = false;
    Filler m_filler_;
};

// Builds a table during static initialisation and releases it during static
// finalisation; one of these stands next to each table.
template <typename Map>
class GuardedTableLifetime {
public:
    explicit GuardedTableLifetime(GuardedTable<Map>& table) : m_table_(table) { m_table_.init(); }
    ~GuardedTableLifetime() { m_table_.release(); }
    GuardedTableLifetime(const GuardedTableLifetime&) = delete;
    GuardedTableLifetime& operator=(const GuardedTableLifetime&) = delete;

private:
    GuardedTable<Map>& m_table_;
};

} // namespace NorvEngineering::Util
