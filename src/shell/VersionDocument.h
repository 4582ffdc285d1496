#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The version document our site publishes: for this program and for each companion app the current,
// minimum and recommended versions, and optionally a review request and a notice for the device.
// A value is null when its element is missing, empty when the element is there but empty.
struct VersionDocument {
    struct Versions {
        QString currentVersion;
        QString minVersion;
        QString recVersion;
    };
    struct AskReview {
        QString afterDays;
        QString maxTimes;
    };
    struct Notice {
        QString noticeId;
        QString target;
        QString message;
        QString link;
    };

    Versions iOS;
    Versions OSX;
    Versions iOSZubPadMini;
    std::optional<AskReview> askReview;
    std::optional<Notice> notice;

    // The first "//iOS", "//OSX", "//iOSZubPadMini", "//askReview" and "//Notice" of an XML text, each
    // value the string value of the named child. Nothing when the bytes are not well-formed XML.
    static std::optional<VersionDocument> parse(const QByteArray& xml);
};

// Whether `version` is a dotted version the document's comparisons may use: one or more parts of one
// to nine digits each ("1.0.10"). "", "1..2", "1.-2" or a part too long for 32 bits are not: a value
// like that compares as missing and never asks for an update.
bool isComparableVersion(const QString& version);
// `a` is greater than `b`, part by part ("1.10" > "1.9", "1.0" = "1.0.0"); false unless both are
// comparable versions.
bool isVersionGreater(const QString& a, const QString& b);
