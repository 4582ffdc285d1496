#pragma once

#include <QString>

// The user's settings as the stream reads and writes them: the frame rate ("FPS"), the resolution
// choice ("zubPadNoRetina", "cloneDisplay", "cloneNoRetina"), the display-sleep and cursor preferences.
// The program backs it with the user defaults (an absent key reads NO or 0, every write is saved at
// once); tests with a map.
class StreamDefaults {
public:
    virtual ~StreamDefaults() = default;
    virtual bool boolForKey(const QString& key) const = 0;
    virtual double doubleForKey(const QString& key) const = 0;
    virtual bool containsKey(const QString& key) const = 0;
    virtual void setBool(bool value, const QString& key) = 0;
    virtual void setDouble(double value, const QString& key) = 0;
};
