#pragma once

#include <QString>
#include <optional>

// The system's package manager.
class Packages {
public:
    virtual ~Packages() = default;
    // The package the file at `path` was installed by; nothing when no package owns it.
    virtual std::optional<QString> owningPackage(const QString& path) = 0;
};
