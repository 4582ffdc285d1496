#pragma once

#include <QProcess>
#include <QString>
#include <memory>

// An Xvfb of the test's own, for tests that change the display arrangement and must not disturb the
// shared display other tests capture from. Stopped when the object goes.
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
    std::unique_ptr<QProcess> process_;
    QString name_;
    QString failure_;
};
