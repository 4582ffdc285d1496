#pragma once

#include "platform/Packages.h"

#include <QString>

// Debian's package manager: which installed package owns a file, as `dpkg-query --search` says.
class DpkgPackages final : public Packages {
public:
    explicit DpkgPackages(QString dpkgQuery = QStringLiteral("dpkg-query"))
        : dpkgQuery_(std::move(dpkgQuery)) {}

    std::optional<QString> owningPackage(const QString& path) override;

    // The package of `path` in dpkg-query's answer ("zubpad: /usr/bin/zubpad", "pkg:amd64: /path",
    // diversion lines skipped); nothing when no line names exactly that path.
    static std::optional<QString> packageInSearchOutput(const QByteArray& output, const QString& path);

private:
    QString dpkgQuery_;
};
