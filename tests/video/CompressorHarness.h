#pragma once

#include "fakes/FakeEncoderServices.h"
#include "link/PTChannel.h"
#include "video/AppleVTCompressor.h"
#include "video/OutputDestination.h"

inline QVariantMap hardwareEncoder() {
    return {{kEncoderListEncoderID, QStringLiteral("com.apple.videotoolbox.videoencoder.h264.gva")},
            {kEncoderListEncoderName, QStringLiteral("Apple H.264")}};
}

// A compressor on fake encoders (a hardware H.264 one among them, unless told otherwise), bound to one
// destination on the USB channel whose frames are recorded instead of written; each write completes
// with `nextResult`. The harness is the compressor's settings controller.
struct CompressorHarness : CompressorSettingsController {
    struct Sent {
        uint32_t type;
        uint32_t tag;
        QByteArray payload;
    };
    double fps = 30.0;
    std::shared_ptr<FakeEncoderServices> services = std::make_shared<FakeEncoderServices>();
    std::shared_ptr<AppleVTCompressor> compressor;
    std::vector<Sent> sent;
    OptError nextResult;
    // Stands for a linked channel: the recording writer never touches it. A real (closed) one, since
    // a shared pointer to a channel writes into the object it points at.
    std::shared_ptr<PTChannel> channel = PTChannel::channelWithDelegate(nullptr);
    OutputDestination destination{QStringLiteral("file"),
                                  [this](const std::shared_ptr<PTChannel>&, uint32_t type, uint32_t tag,
                                         const QByteArray& payload, OutputDestination::Completion done) {
                                      sent.push_back({type, tag, payload});
                                      done(nextResult);
                                  }};

    explicit CompressorHarness(bool hardware = true) {
        if (hardware) services->encoders.push_back(hardwareEncoder());
        compressor = std::make_shared<AppleVTCompressor>(services);
        compressor->setSettingsController(this);
        compressor->setName(QStringLiteral("AppleVT"));
        destination.setDestination(QStringLiteral("/tmp/t.flv"));
        destination.setCompressor(compressor);
        destination.setChannel(1);
    }
    // Opens the destination and links the compressor.
    void open() {
        destination.setActive(true);
        compressor->setPtChannel(channel);
    }

    double captureFPS() const override { return fps; }
    std::shared_ptr<CompressorBase> compressorNamed(const QString&) const override { return nullptr; }
    std::shared_ptr<CompressorBase> selectedCompressor() const override { return nullptr; }
};
