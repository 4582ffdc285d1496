// Feeds arbitrary key reports from the device's keyboard (modifiers, key and layout texts, split at
// NUL bytes) to the key lookup and checks what comes out: a key only for a key's text, a key code in
// the table, and only the flags the modifier and key names stand for.
#include "input/KeyboardInput.h"

#include <QByteArrayList>

#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_keyboard_input: %s\n", what);
    std::abort();
}

// Every modifier with its device bit, Caps Lock, and the arrows' function bits.
constexpr uint64_t kKnownFlags = 0x1E002B | 0x10000 | 0xA00000;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArrayList parts = QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)).split('\0');
    const QString modifiers = QString::fromUtf8(parts.value(0));
    const QString input = QString::fromUtf8(parts.value(1));
    const QString layout = QString::fromUtf8(parts.value(2));
    const std::optional<KeyboardInput::Key> key = KeyboardInput::keyForEvent(modifiers, input, layout);
    if (!key) return 0;
    if (input.isEmpty() || input.size() > KeyboardInput::kMaxKeyInputLength) fail("a key for no key's text");
    if (key->keyCode > 127) fail("a key code beyond the table");
    if (key->flags & ~kKnownFlags) fail("flags nothing asked for");
    if (key->flags & 0xA00000 && !(key->keyCode >= 123 && key->keyCode <= 126))
        fail("function bits off an arrow");
    return 0;
}
