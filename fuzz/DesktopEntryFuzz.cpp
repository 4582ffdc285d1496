// Desktop entries are files any package or user may have written: no file may crash the reader, and
// what it keeps must be fit to compare against what windows say.
#include "platform/linux/DesktopEntries.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    OptError error;
    const std::optional<DesktopEntry> entry = parseDesktopEntry(bytes, &error);
    if (!entry && !error) std::abort(); // a refusal always says why
    if (!entry) return 0;
    // The program is a base name, never a path or a placeholder for one.
    if (entry->program.contains(u'/') || entry->program.startsWith(u'%')) std::abort();
    // Whatever the locale, an untranslated name is the last resort.
    if (!entry->names.value(QString()).isEmpty())
        for (const char* locale : {"de_DE.UTF-8@euro", "sr@latin", "C", ""})
            if (localizedValue(entry->names, QString::fromLatin1(locale)).isEmpty()) std::abort();
    return 0;
}
