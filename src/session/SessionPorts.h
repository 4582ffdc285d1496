#pragma once

#include <cstdint>
#include <memory>
#include <vector>

class PTChannel;

// The pieces of the video pipeline that the session drives. The session holds them without owning
// them; the video side plugs its classes in through these, and until it does the session simply has
// none (every call is then skipped).

// The stream lifecycle: starting on the device's request, stopping, and resetting when the device went.
class StreamControl {
public:
    virtual ~StreamControl() = default;
    virtual bool startStream() = 0;
    virtual void stopStream() = 0;
    // Like stopStream, but tells the device nothing (it is gone).
    virtual void resetStream() = 0;
    // The application quits: the cursor monitors go, and a running stream stops.
    virtual void applicationWillTerminate() = 0;
};

// An encoder that writes its frames to the connected channel.
class ChannelEncoder {
public:
    virtual ~ChannelEncoder() = default;
    // The connected channel, or nullptr when there is none.
    virtual void setPtChannel(std::shared_ptr<PTChannel> channel) = 0;
    // Whether the encoder runs on hardware (reported to the device as "H264:1").
    virtual bool bH264HWCodec() const = 0;
};

// Where captured frames go; told the channel number whenever it changes.
class CaptureDestination {
public:
    virtual ~CaptureDestination() = default;
    virtual void setChannel(int32_t channel) = 0;
    // The encoder feeding this destination, if any.
    virtual ChannelEncoder* encoder() const = 0;
};

// The capture source; its display stream is stopped when the link shuts down.
class CaptureSource {
public:
    virtual ~CaptureSource() = default;
    virtual void stopDisplayStream() = 0;
};

// The cursor forwarding, whose position timer stops when a channel ends.
class CursorForwarding {
public:
    virtual ~CursorForwarding() = default;
    virtual void stopCursorTimer() = 0;
};

class ZDAppDelegate;

// Everything the session calls outside itself, shared by its parts and filled in by the owner.
// Nothing here is owned.
struct SessionPorts {
    ZDAppDelegate* delegate = nullptr;
    StreamControl* stream = nullptr;
    std::vector<CaptureDestination*> destinations;
    // The encoders; the last one answers for the hardware flag.
    std::vector<ChannelEncoder*> compressors;
    CaptureSource* captureSource = nullptr;
    CursorForwarding* cursor = nullptr;
};
