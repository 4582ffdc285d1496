// The update feed comes from the network: whatever it holds, reading it yields a release or none, and
// a release always carries a comparable version and, if any, a web page to offer.
#include "shell/Appcast.h"
#include "shell/VersionDocument.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::optional<AppcastRelease> release =
        Appcast::newestRelease(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (!release) return 0;
    if (!isComparableVersion(release->version)) std::abort();
    const QString scheme = release->releasePage.scheme();
    if (!release->releasePage.isEmpty() && scheme != QLatin1String("https") &&
        scheme != QLatin1String("http"))
        std::abort();
    return 0;
}
