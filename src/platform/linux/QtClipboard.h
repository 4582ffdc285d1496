#pragma once

#include "platform/Clipboard.h"

// The toolkit's clipboard (on X the CLIPBOARD selection, which this program then owns and serves
// until another program takes it). Text is offered as UTF-8 and plain text.
class QtClipboard final : public Clipboard {
public:
    bool setText(const QString& text, std::function<void()> taken = {}) override;
};
