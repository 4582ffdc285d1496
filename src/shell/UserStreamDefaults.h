#pragma once

#include "base/UserDefaults.h"
#include "video/StreamDefaults.h"

// The stream's settings kept in the user defaults (each write is saved at once by UserDefaults).
class UserStreamDefaults final : public StreamDefaults {
public:
    explicit UserStreamDefaults(UserDefaults& defaults) : defaults_(defaults) {}
    bool boolForKey(const QString& key) const override { return defaults_.boolForKey(key); }
    double doubleForKey(const QString& key) const override { return defaults_.doubleForKey(key); }
    bool containsKey(const QString& key) const override { return defaults_.containsKey(key); }
    void setBool(bool value, const QString& key) override { defaults_.setBool(value, key); }
    void setDouble(double value, const QString& key) override { defaults_.setDouble(value, key); }

private:
    UserDefaults& defaults_;
};
