#pragma once

#include "fakes/FakeDisplayStream.h"
#include "platform/TouchBarSource.h"

#include <QPointF>
#include <memory>
#include <vector>

// A Touch Bar driven by the test: its streams are FakeDisplayStreams the test delivers pictures
// through (from any thread), and it records the statuses it was set to and the touches posted to it.
class FakeTouchBar final : public TouchBarSource {
public:
    struct Touch {
        MouseActivity activity;
        QPointF point;
        bool operator==(const Touch&) const = default;
    };

    bool available() const override { return hasTouchBar; }
    void setStatus(Status status) override { statuses.push_back(status); }
    std::shared_ptr<DisplayStream> createStream(DisplayStream::Handler handler) override {
        auto stream = std::make_shared<FakeDisplayStream>();
        stream->width = 1085;
        stream->height = 30;
        stream->handler = std::move(handler);
        if (streams.size() < startResults.size()) stream->startResult = startResults[streams.size()];
        streams.push_back(stream);
        return stream;
    }
    void postEvent(MouseActivity activity, QPointF point) override { touches.push_back({activity, point}); }

    bool hasTouchBar = true;
    // What the streams' start() answer, in the order they are made; success after these.
    std::vector<int32_t> startResults;
    std::vector<Status> statuses;
    std::vector<Touch> touches;
    std::vector<std::shared_ptr<FakeDisplayStream>> streams;
};
