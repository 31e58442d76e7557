#include "Component.h"

#include <algorithm>

namespace NorvEngineering::Platform {

namespace {
void eraseOne(std::vector<TComponent*>& list, TComponent* item) {
    const auto found = std::find(list.begin(), list.end(), item);
    if (found != list.end())
        list.erase(found);
}
} // namespace

TComponent::TComponent(TComponent* owner) : m_pOwner_(owner) {
    if (m_pOwner_ != nullptr)
        m_pOwner_->insertOwned(this);
}

TComponent::~TComponent() {
    m_state_ |= csDestroying;
    const auto notified = m_notified_;
    m_notified_.clear();
    for (TComponent* other : notified) {
        other->RemoveFreeNotification(this);
        other->Notification(this, opRemove);
    }
    while (!m_owned_.empty()) {
        TComponent* child = m_owned_.back();
        m_owned_.pop_back();
        child->m_pOwner_ = nullptr;
        delete child;
    }
    if (m_pOwner_ != nullptr)
        m_pOwner_->removeOwned(this);
}

void TComponent::setDesigning(bool on) {
    m_state_ = static_cast<uint8_t>(on ? (m_state_ | csDesigning) : (m_state_ & ~csDesigning));
}

void TComponent::setLoading(bool on) {
    const bool wasLoading = hasState(csLoading);
    m_state_ = static_cast<uint8_t>(on ? (m_state_ | csLoading) : (m_state_ & ~csLoading));
    if (wasLoading && !on)
        Loaded();
}

void TComponent::FreeNotification(TComponent* other) {
    if (other == nullptr || other == this)
        return;
    if (std::find(m_notified_.begin(), m_notified_.end(), other) == m_notified_.end())
        m_notified_.push_back(other);
    if (std::find(other->m_notified_.begin(), other->m_notified_.end(), this) == other->m_notified_.end())
        other->m_notified_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* other) {
    eraseOne(m_notified_, other);
}

void TComponent::Notification(TComponent* /*component*/, TOperation /*operation*/) {}

void TComponent::insertOwned(TComponent* component) {
    m_owned_.push_back(component);
}

void TComponent::removeOwned(TComponent* component) {
    eraseOne(m_owned_, component);
}

} // namespace NorvEngineering::Platform
