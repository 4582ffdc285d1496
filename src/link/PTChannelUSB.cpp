#include "link/PTChannel.h"

#include "link/IoChannel.h"
#include "link/PTUSBHub.h"

#include <cerrno>

// In a file of its own so that programs which never connect over USB need not link the daemon client.
void PTChannel::connectToPortOverUSBHub(uint16_t port, PTUSBHub* hub, qint64 deviceID, Callback callback) {
    if (connState_ != kClosed) {
        callback(Error::posix(EPERM));
        return;
    }
    connState_ = kConnecting;
    std::weak_ptr<PTChannel> weak = weak_from_this();
    // The delegate hears of the end of a connection that was made, not of an attempt that failed.
    auto started = std::make_shared<bool>(false);
    hub->connectToDevice(
        deviceID, port,
        [weak, started, callback = std::move(callback)](const OptError& error,
                                                        std::shared_ptr<IoChannel> io) {
            const auto self = weak.lock();
            if (!self) {
                if (io) io->close(true);
                return;
            }
            if (error || !io) {
                if (self->connState_ == kConnecting) self->connState_ = kClosed;
                callback(error ? error : OptError(Error::make(kPTErrorDomain, 0)));
                return;
            }
            if (self->connState_ != kConnecting) {
                // Closed while the daemon was still answering.
                io->close(true);
                callback(Error::posix(ECANCELED));
                return;
            }
            *started = true;
            OptError readError;
            self->startReadingFromConnectedChannel(std::move(io), &readError);
            callback(readError);
        },
        [weak, started](const OptError& error) {
            const auto self = weak.lock();
            // The daemon's socket reports only its own failures; a protocol error that ended the read
            // loop is in endError_ and must not turn into a clean end.
            if (self && *started) self->tellDelegateOfEnd(error);
        });
}
