#pragma once

#include <QString>
#include <optional>

// Errors are values handed to completion callbacks; nothing throws across a class boundary.
struct Error {
    QString domain;
    int code = 0;
    QString description;

    static Error posix(int errnum);
    static Error make(const QString& domain, int code, const QString& description = {});

    // "domain code: description", for logs and test failure messages.
    QString toString() const;
    bool operator==(const Error& other) const { return domain == other.domain && code == other.code; }
};

using OptError = std::optional<Error>;

inline const QString kPOSIXErrorDomain = QStringLiteral("NSPOSIXErrorDomain");
inline const QString kPTProtocolErrorDomain = QStringLiteral("PTProtocolError");
inline const QString kPTErrorDomain = QStringLiteral("PTError");
inline const QString kPTUSBHubErrorDomain = QStringLiteral("PTUSBHubError");
inline const QString kPropertyListErrorDomain = QStringLiteral("PropertyListError");
