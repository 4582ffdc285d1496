// The settings file is the user's to edit: whatever it holds, reading it yields a dictionary or a
// clear refusal, and what was read can be written back and read again unchanged.
#include "base/UserDefaults.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QVariantMap values;
    if (!UserDefaultsFile::read(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), values)) {
        if (!values.isEmpty()) std::abort();
        return 0;
    }
    const QByteArray written = UserDefaultsFile::write(values);
    QVariantMap again;
    // Everything a property list can hold has a property-list form.
    if (!values.isEmpty() && written.isEmpty()) std::abort();
    if (!UserDefaultsFile::read(written, again) || again.size() != values.size()) std::abort();
    return 0;
}
