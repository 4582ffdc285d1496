#pragma once

#include "base/Clock.h"
#include "base/Lifetime.h"

#include <QString>
#include <deque>
#include <functional>
#include <memory>

// The main queue is the Qt event loop of the main thread.
class MainQueue {
public:
    // Runs `fn` on the main thread after the current event; callable from any thread.
    void async(std::function<void()> fn);
    // Runs `fn` on the main thread and returns when it has run: at once on the main thread, otherwise
    // through the event loop while the caller waits.
    void sync(const std::function<void()>& fn);
    // Runs `fn` on the main thread `seconds` from now, by the shared Clock.
    Clock::TimerId after(double seconds, std::function<void()> fn);
    bool isCurrent() const;
};

MainQueue& mainQueue();

// A serial queue whose blocks run, in order, on the main thread, and which can be suspended:
// blocks submitted while suspended wait until it is resumed as often as it was suspended.
class SerialQueue {
public:
    explicit SerialQueue(QString label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const QString& label() const { return label_; }
    void async(std::function<void()> fn);
    void suspend();
    void resume();
    bool isSuspended() const { return suspendCount_ > 0; }
    size_t pendingCount() const { return pending_.size(); }

private:
    void scheduleDrain();
    void drain();

    QString label_;
    int suspendCount_ = 0;
    bool drainScheduled_ = false;
    std::deque<std::function<void()>> pending_;
    Lifetime<SerialQueue> lifetime_{this};
};
