#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace NorvEngineering::Platform {

template <typename Signature>
class TEvent;

// An event handler slot that may be bound, unbound and raised from different
// threads: raising takes a snapshot of the handler, so unbinding while another
// thread raises never tears the callable apart under it.
template <typename R, typename... Args>
class TEvent<R(Args...)> {
public:
    using Handler = std::function<R(Args...)>;

    TEvent() = default;
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    TEvent& operator=(Handler handler) {
        auto bound = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
        std::lock_guard lock(m_mutex_);
        m_pHandler_ = std::move(bound);
        return *this;
    }
    TEvent& operator=(std::nullptr_t) {
        clear();
        return *this;
    }
    void clear() {
        std::shared_ptr<const Handler> old;
        std::lock_guard lock(m_mutex_);
        old.swap(m_pHandler_);
    }
    explicit operator bool() const { return snapshot() != nullptr; }

    // Raises the event; an unbound event returns a default value.
    R operator()(Args... args) const {
        const auto handler = snapshot();
        if (!handler) {
            if constexpr (std::is_void_v<R>)
                return;
            else
                return R();
        }
        return (*handler)(std::forward<Args>(args)...);
    }

private:
    std::shared_ptr<const Handler> snapshot() const {
        std::lock_guard lock(m_mutex_);
        return m_pHandler_;
    }

    mutable std::mutex m_mutex_;
    std::shared_ptr<const Handler> m_pHandler_;
};

} // namespace NorvEngineering::Platform
