// The version document comes from the network: whatever it holds, reading it yields a record or a
// refusal, and no two of its versions are each greater than the other.
#include "shell/VersionDocument.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::optional<VersionDocument> document =
        VersionDocument::parse(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (!document) return 0;
    const QString versions[] = {document->OSX.minVersion,           document->OSX.recVersion,
                                document->OSX.currentVersion,       document->iOS.minVersion,
                                document->iOSZubPadMini.minVersion, QStringLiteral("1.0.0")};
    for (const QString& a : versions)
        for (const QString& b : versions) {
            if (isVersionGreater(a, b) && isVersionGreater(b, a)) std::abort();
            if (isVersionGreater(a, b) && !(isComparableVersion(a) && isComparableVersion(b))) std::abort();
        }
    return 0;
}
