#pragma once

#include <QString>
#include <sys/types.h>

// An Xvfb of the test's own, for tests that change the display arrangement and must not disturb the
// shared display other tests capture from. Stopped when the object goes.
//
// Started with fork and exec, not QProcess: QProcess starts its child with clone(CLONE_VM), and the
// child's intercepted calls then run on the ThreadSanitizer state the parent shares with it (freeing
// the parent's descriptor records among others), which makes the checker lose the synchronisation of
// unrelated mutexes afterwards.
class PrivateXvfb {
public:
    // Starts "Xvfb :N -screen 0 <width>x<height>x24" on a free N; check running() before use.
    PrivateXvfb(int width, int height);
    ~PrivateXvfb();
    PrivateXvfb(const PrivateXvfb&) = delete;
    PrivateXvfb& operator=(const PrivateXvfb&) = delete;

    bool running() const { return !name_.isEmpty(); }
    // ":N", for XOpenDisplay and $DISPLAY.
    const QString& displayName() const { return name_; }
    // Why it is not running.
    const QString& failure() const { return failure_; }

private:
    pid_t pid_ = -1;
    QString name_;
    QString failure_;
};
