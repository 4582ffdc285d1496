#pragma once

#include <memory>

// Lets a callback that may run after its owner is gone (a timer, a block posted to the main queue,
// a socket's completion) find out and do nothing. The owner keeps a Lifetime as a member; callbacks
// capture its guard() and reach the owner through it only while it lives:
//
//     mainQueue().after(1.0, [self = lifetime_.guard()] { if (self) self->retry(); });
//
// Owner and callbacks live on one thread; the guard only answers "is it still there".
template <class Owner> class Lifetime {
public:
    class Guard {
    public:
        // The owner, or nullptr once it is gone or its lifetime ended.
        Owner* get() const {
            const std::shared_ptr<Owner*> token = token_.lock();
            return token ? *token : nullptr;
        }
        Owner* operator->() const { return get(); }
        explicit operator bool() const { return get() != nullptr; }

    private:
        friend class Lifetime;
        explicit Guard(std::weak_ptr<Owner*> token) : token_(std::move(token)) {}
        std::weak_ptr<Owner*> token_;
    };

    explicit Lifetime(Owner* owner) : token_(std::make_shared<Owner*>(owner)) {}
    ~Lifetime() { end(); }
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

    Guard guard() const { return Guard(token_); }
    // From now on every guard finds the owner gone: for a destructor that still runs code which
    // may call back before the members are destroyed.
    void end() { *token_ = nullptr; }

private:
    std::shared_ptr<Owner*> token_;
};
