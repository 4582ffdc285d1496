#include "video/OutputDestination.h"

#include "base/MainQueue.h"
#include "link/PTChannel.h"

#include <cerrno>

OutputDestination::FrameWriter OutputDestination::channelWriter() {
    return [](const std::shared_ptr<PTChannel>& channel, uint32_t type, uint32_t tag,
              const QByteArray& payload, Completion completion) {
        // The channel lives on the main thread; the payload travels there by
        // reference.
        mainQueue().async([weak = std::weak_ptr<PTChannel>(channel), type, tag, payload,
                           completion = std::move(completion)]() mutable {
            if (std::shared_ptr<PTChannel> channel = weak.lock())
                channel->sendFrameOfType(type, tag, payload, std::move(completion));
            else if (completion)
                completion(Error::posix(ENOTCONN));
        });
    };
}
