#include "video/OutputDestination.h"

#include "video/CompressorBase.h"

#include <QtEndian>
#include <limits>

namespace {

constexpr char kStartCode[4] = {0, 0, 0, 1};
constexpr char kUnitPicture = 0x21, kUnitSPS = 0x27, kUnitPPS = 0x28, kUnitKeyFrame = 0x25;
constexpr int32_t kChannelUSB = 1;

char* putUnit(char* w, char unitType, const QByteArray& bytes) {
    memcpy(w, kStartCode, 4);
    w[4] = unitType;
    if (!bytes.isEmpty()) memcpy(w + 5, bytes.constData(), size_t(bytes.size()));
    return w + 5 + bytes.size();
}

} // namespace

OutputDestination::OutputDestination(const QString& type, FrameWriter writer)
    : writer_(std::move(writer)), typeName_(type) {}

OutputDestination::~OutputDestination() {
    stopCompressor();
}

bool OutputDestination::isKeyFrame(const EncodedSample& sample) {
    if (sample.attachments.empty()) return false;
    const std::optional<bool>& notSync = sample.attachments.front().notSync;
    return !notSync.has_value() || !*notSync;
}

QByteArray OutputDestination::videoPayload(int32_t frameType, const EncodedSample& sample, uint32_t* tag) {
    *tag = 0;
    const QByteArray& data = sample.data;
    bool key = false;
    if (frameType == kFrameTypeH264Video && isKeyFrame(sample)) {
        // Without both parameter sets the key-frame form cannot be written whole; the sample still
        // goes out, as a frame that is not a key frame.
        key = sample.parameterSets.size() >= 2 && !sample.parameterSets[0].isEmpty() &&
              !sample.parameterSets[1].isEmpty();
    } else if (frameType != kFrameTypeH264Video && frameType != kFrameTypeJPEGVideo) {
        return {};
    }
    const qint64 units =
        key ? 15 + qint64(sample.parameterSets[0].size()) + sample.parameterSets[1].size() : 5;
    const qint64 length = units + data.size();
    if (length > qint64(std::numeric_limits<uint32_t>::max()) - 8) return {};

    QByteArray payload(qsizetype(length + 8), Qt::Uninitialized);
    char* w = payload.data();
    qToLittleEndian<quint32>(quint32(length), w);
    qToLittleEndian<quint32>(1, w + 4);
    w += 8;
    if (key) {
        w = putUnit(w, kUnitSPS, sample.parameterSets[0]);
        w = putUnit(w, kUnitPPS, sample.parameterSets[1]);
        putUnit(w, kUnitKeyFrame, data);
        *tag = kKeyFrameTag;
    } else {
        putUnit(w, kUnitPicture, data);
    }
    return payload;
}

bool OutputDestination::reserveFrame() {
    int inFlight = framesInFlight_.load();
    do {
        if (inFlight >= kMaxFramesInFlight) {
            keyFrameWanted_.store(true);
            return false;
        }
    } while (!framesInFlight_.compare_exchange_weak(inFlight, inFlight + 1));
    return true;
}

void OutputDestination::releaseFrame() {
    // Never below zero: a write of a stream that was reset meanwhile may still report.
    int inFlight = framesInFlight_.load();
    while (inFlight > 0 && !framesInFlight_.compare_exchange_weak(inFlight, inFlight - 1)) {
    }
}

void OutputDestination::sendEncodedData(const SamplePtr& sample, const std::shared_ptr<PTChannel>& channel,
                                        const void* /*peer*/) {
    if (!sample || stopped_.load() || !active_.load() || channel_.load() != kChannelUSB || !channel) {
        releaseFrame();
        return;
    }
    const int32_t frameType = frameType_.load();
    uint32_t tag = 0;
    // A frame type that is not video goes out as that type with no payload.
    const QByteArray payload = videoPayload(frameType, *sample, &tag);
    if (payload.isEmpty() && (frameType == kFrameTypeH264Video || frameType == kFrameTypeJPEGVideo)) {
        releaseFrame();
        return;
    }
    QPointer<OutputDestination> self(this);
    writer_(channel, uint32_t(frameType), tag, payload, [self](const OptError& error) {
        if (!self) return;
        self->releaseFrame();
        if (!error) return;
        // A channel that failed once is not written again in this stream.
        self->reset();
        self->stopped_.store(true);
    });
}

void OutputDestination::setActive(bool active) {
    if (active == active_.load()) return;
    active_.store(active);
    if (active) {
        setupCompressor();
    } else {
        stopCompressor();
        reset();
    }
}

void OutputDestination::setupCompressor() {
    if (!active_.load()) return;
    if (compressor_) compressor_->addOutput(this);
    stopped_.store(false);
}

void OutputDestination::stopCompressor() {
    if (compressor_) compressor_->removeOutput(this);
}

void OutputDestination::reset() {
    stopped_.store(true);
    // A new stream starts with the channel free; what the old one still had in flight is its own.
    framesInFlight_.store(0);
    keyFrameWanted_.store(false);
}

void OutputDestination::stopOutput() {
    if (active_.load()) reset();
}
