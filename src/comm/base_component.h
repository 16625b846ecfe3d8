#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace quillon::comm {

class TBaseComponent;

// What a partner is told about another component: it was added to the owner, or it is
// going away (every link to it must be cleared; it must not be called any more).
enum TOperation { opInsert, opRemove };

// The owner of a set of components (the main window's core side): components look for their
// partners among its members, and each member hears when another one joins or leaves.
// Components do not belong to it in the C++ sense; whoever creates them frees them, in any
// order. Used on one thread (the user-interface thread).
class TComponentOwner {
  public:
    TComponentOwner() = default;
    ~TComponentOwner();
    TComponentOwner(const TComponentOwner &) = delete;
    TComponentOwner &operator=(const TComponentOwner &) = delete;

    // Adds a component (taking it from its previous owner) and tells the other members.
    void InsertComponent(TBaseComponent &component);
    // Takes a component out and tells the remaining members (opRemove).
    void RemoveComponent(TBaseComponent &component);
    [[nodiscard]] const std::vector<TBaseComponent *> &Components() const { return components_; }

  private:
    std::vector<TBaseComponent *> components_;
};

// Common base of the comm port, the telephony device and the fax components: a name, an
// optional owner, free notifications, and the component state that the result check
// consults.
class TBaseComponent {
  public:
    explicit TBaseComponent(std::string name = {}) : name_(std::move(name)) {}
    // Tells the owner's other members and every component that asked for a free
    // notification that this one is going away. At that point the derived parts of this
    // object are already destroyed: a Notification may compare the address only.
    virtual ~TBaseComponent() {
        auto partners = std::move(freeNotifies_);
        freeNotifies_.clear();
        for (TBaseComponent *p : partners) {
            std::erase(p->freeNotifies_, this);
        }
        TComponentOwner *owner = owner_;
        if (owner != nullptr) {
            owner->RemoveComponent(*this);
        }
        for (TBaseComponent *p : partners) {
            if (owner == nullptr || p->owner_ != owner) { // members were told already
                p->Notification(*this, opRemove);
            }
        }
    }
    TBaseComponent(const TBaseComponent &) = delete;
    TBaseComponent &operator=(const TBaseComponent &) = delete;

    [[nodiscard]] const std::string &Name() const { return name_; }
    void SetName(std::string name) { name_ = std::move(name); }
    [[nodiscard]] TComponentOwner *Owner() const { return owner_; }

    // While a component is being loaded (its properties streamed in), failing results are
    // returned instead of raised.
    [[nodiscard]] bool Loading() const { return loading_; }
    void SetLoading(bool on) { loading_ = on; }
    [[nodiscard]] bool Designing() const { return designing_; }
    void SetDesigning(bool on) { designing_ = on; }

    // Links two components, whatever their owners, so that each hears (opRemove) when the
    // other is destroyed. Used by a component that keeps a pointer to a partner.
    void FreeNotification(TBaseComponent &other) {
        if (&other == this ||
            std::find(freeNotifies_.begin(), freeNotifies_.end(), &other) != freeNotifies_.end()) {
            return;
        }
        freeNotifies_.push_back(&other);
        other.freeNotifies_.push_back(this);
    }
    void RemoveFreeNotification(TBaseComponent &other) {
        std::erase(freeNotifies_, &other);
        std::erase(other.freeNotifies_, this);
    }

    // Another component joined this one's owner, or is going away. Runs on the owner's
    // thread; must not throw.
    virtual void Notification(TBaseComponent &component, TOperation operation) {
        (void)component;
        (void)operation;
    }

  private:
    friend class TComponentOwner;
    std::string name_;
    TComponentOwner *owner_ = nullptr;
    std::vector<TBaseComponent *> freeNotifies_;
    bool loading_ = false;
    bool designing_ = false;
};

inline TComponentOwner::~TComponentOwner() {
    for (TBaseComponent *c : components_) {
        c->owner_ = nullptr;
    }
}

inline void TComponentOwner::InsertComponent(TBaseComponent &component) {
    if (component.owner_ == this) {
        return;
    }
    if (component.owner_ != nullptr) {
        component.owner_->RemoveComponent(component);
    }
    component.owner_ = this;
    components_.push_back(&component);
    auto members = components_;
    for (TBaseComponent *c : members) {
        if (c != &component) {
            c->Notification(component, opInsert);
        }
    }
}

inline void TComponentOwner::RemoveComponent(TBaseComponent &component) {
    if (component.owner_ != this) {
        return;
    }
    component.owner_ = nullptr;
    std::erase(components_, &component);
    auto members = components_;
    for (TBaseComponent *c : members) {
        c->Notification(component, opRemove);
    }
}

} // namespace quillon::comm
