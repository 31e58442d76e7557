#pragma once

#include <memory>
#include <utility>

namespace NorvEngineering::Platform {

namespace Detail {
class LifetimeState;
}

// Holds back the end of a lifetime while it is held (see TLifetime). Empty when the
// lifetime had already ended.
class TLifetimePin {
public:
    TLifetimePin() = default;
    TLifetimePin(TLifetimePin&& other) noexcept : m_pState_(std::move(other.m_pState_)) {}
    TLifetimePin& operator=(TLifetimePin&& other) noexcept;
    TLifetimePin(const TLifetimePin&) = delete;
    TLifetimePin& operator=(const TLifetimePin&) = delete;
    ~TLifetimePin() { release(); }

    explicit operator bool() const { return m_pState_ != nullptr; }
    void release();

private:
    friend class TLifetimeRef;
    explicit TLifetimePin(std::shared_ptr<Detail::LifetimeState> state) : m_pState_(std::move(state)) {}
    std::shared_ptr<Detail::LifetimeState> m_pState_;
};

// What another thread, or code that calls out, keeps of a lifetime: it can ask whether
// the lifetime has ended, and pin it so that it cannot end meanwhile.
class TLifetimeRef {
public:
    TLifetimeRef() = default;

    bool ended() const;
    // Empty when the lifetime has ended; otherwise its end waits until the pin goes.
    TLifetimePin pin() const;

private:
    friend class TLifetime;
    explicit TLifetimeRef(std::shared_ptr<Detail::LifetimeState> state) : m_pState_(std::move(state)) {}
    std::shared_ptr<Detail::LifetimeState> m_pState_;
};

// The one way here to let threads and callbacks reach an object that its owner may
// destroy (or cut loose) at any moment. The object keeps a TLifetime; whoever may reach
// it later keeps a TLifetimeRef and touches the object only while it holds a pin, or
// after checking ended() on its own thread.
//
// end() refuses new pins and waits until every pin held by another thread is gone, so
// that when it returns nobody else is inside the object. Two holders are not waited
// for, because they cannot go on until end() has returned: the calling thread itself
// (an object destroyed from inside its own callback), and on the main thread the
// threads whose synchronised calls it runs at that moment. Both must look at ended()
// before they touch the object again. On the main thread the wait keeps synchronised
// calls running, so a pin holder blocked in Synchronize can always finish.
//
// end() may be called again; each call waits again for pins of other threads (a later
// destruction after an earlier cut). The destructor ends the lifetime.
class TLifetime {
public:
    TLifetime();
    TLifetime(const TLifetime&) = delete;
    TLifetime& operator=(const TLifetime&) = delete;
    ~TLifetime() { end(); }

    TLifetimeRef ref() const { return TLifetimeRef(m_pState_); }
    void end();
    bool ended() const;

private:
    std::shared_ptr<Detail::LifetimeState> m_pState_;
};

// A pointer to an object with a TLifetime, handed out only under a pin.
template <class T>
class TGuardedPtr {
public:
    class Pinned {
    public:
        T* get() const { return m_pObject_; }
        T* operator->() const { return m_pObject_; }
        explicit operator bool() const { return m_pObject_ != nullptr; }

    private:
        friend class TGuardedPtr;
        Pinned(T* object, TLifetimePin pin) : m_pObject_(pin ? object : nullptr), m_pin_(std::move(pin)) {}
        T* m_pObject_;
        TLifetimePin m_pin_;
    };

    TGuardedPtr() = default;
    TGuardedPtr(T* object, TLifetimeRef life) : m_pObject_(object), m_life_(std::move(life)) {}

    Pinned pin() const { return Pinned(m_pObject_, m_life_.pin()); }
    bool ended() const { return m_life_.ended(); }
    const TLifetimeRef& life() const { return m_life_; }

private:
    T* m_pObject_ = nullptr;
    TLifetimeRef m_life_;
};

} // namespace NorvEngineering::Platform
