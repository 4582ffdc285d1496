#pragma once

#include "video/StreamDefaults.h"

#include <QVariantMap>
#include <mutex>

// The user's settings in memory; safe to read from the frame clock while the test writes.
class MapStreamDefaults final : public StreamDefaults {
public:
    bool boolForKey(const QString& key) const override {
        std::lock_guard lock(mutex_);
        return values_.value(key).toBool();
    }
    double doubleForKey(const QString& key) const override {
        std::lock_guard lock(mutex_);
        return values_.value(key).toDouble();
    }
    bool containsKey(const QString& key) const override {
        std::lock_guard lock(mutex_);
        return values_.contains(key);
    }
    void setBool(bool value, const QString& key) override {
        std::lock_guard lock(mutex_);
        values_.insert(key, value);
    }
    void setDouble(double value, const QString& key) override {
        std::lock_guard lock(mutex_);
        values_.insert(key, value);
    }

private:
    mutable std::mutex mutex_;
    QVariantMap values_;
};
