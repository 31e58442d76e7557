#pragma once

#include <cstdint>
#include <vector>

namespace NorvEngineering::Platform {

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = default;
    TObject& operator=(const TObject&) = default;
    virtual ~TObject() = default;
};

// Settings objects that a component publishes.
class TPersistent : public TObject {};

enum TComponentStateFlag : uint8_t { csLoading = 1, csDesigning = 2, csDestroying = 4 };
enum TOperation : uint8_t { opInsert, opRemove };

// A component with an owner: the owner deletes what it owns, and components that
// asked to hear of each other are told when one of them goes away.
class TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* owner);
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;
    ~TComponent() override;

    TComponent* Owner() const { return m_pOwner_; }
    uint8_t ComponentState() const { return m_state_; }
    bool hasState(TComponentStateFlag flag) const { return (m_state_ & flag) != 0; }
    void setDesigning(bool on);
    void setLoading(bool on);

    // Asks `other` to be told (through Notification) when this component is removed.
    void FreeNotification(TComponent* other);
    void RemoveFreeNotification(TComponent* other);

protected:
    virtual void Notification(TComponent* component, TOperation operation);
    virtual void Loaded() {}

private:
    void insertOwned(TComponent* component);
    void removeOwned(TComponent* component);

    TComponent* m_pOwner_;
    uint8_t m_state_ = 0;
    std::vector<TComponent*> m_owned_;
    std::vector<TComponent*> m_notified_;
};

} // namespace NorvEngineering::Platform
