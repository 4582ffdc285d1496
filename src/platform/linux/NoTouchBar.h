#pragma once

#include "platform/TouchBarSource.h"

// No Linux machine has a Touch Bar, and no desktop offers a strip like it to stream: the relay stays
// off and its menu item hidden.
class NoTouchBar final : public TouchBarSource {
public:
    bool available() const override { return false; }
    void setStatus(Status) override {}
    std::shared_ptr<DisplayStream> createStream(DisplayStream::Handler) override { return nullptr; }
    void postEvent(MouseActivity, QPointF) override {}
};
