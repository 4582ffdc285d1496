// Feeds arbitrary payloads to the session as frames from the companion app (introductions, texts,
// events) and checks that every value the shell reads out of an event keeps the lenient rules: a
// missing or wrongly typed boolean is NO, number 0, string null; nothing crashes or leaks.
#include "link/PTData.h"
#include "platform/SystemInfo.h"
#include "session/CaptureController.h"
#include "session/PeerMessage.h"
#include "session/ZDAppDelegate.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QtEndian>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_peer_messages: %s\n", what);
    std::abort();
}

struct NoLink final : LinkConnector {
    const void* hub() override { return this; }
    void connectToUSBDevice(PTChannel&, quint16, qint64, Callback) override {}
    void connectToLocalIPv4Port(PTChannel&, quint16, ConnectCallback) override {}
};

struct Machine final : SystemInfo {
    QString osVersionString() const override { return QStringLiteral("12"); }
    QString machineModel() const override { return QStringLiteral("Fuzz"); }
    QString machineArchitecture() const override { return QStringLiteral("x86_64"); }
    quint32 userID() const override { return 0; }
    std::vector<quint32> listeningSocketOwners(quint16) const override { return {}; }
};

// Reads every key of every event the way the input handlers do, and checks the readings agree.
void readAll(const QVariantMap& event) {
    using namespace PeerMessage;
    for (auto it = event.constBegin(); it != event.constEnd(); ++it) {
        const QString& key = it.key();
        const double d = doubleValue(event, key);
        const bool b = boolValue(event, key);
        if (b != (d != 0.0 && !std::isnan(d)) && !std::isnan(d)) fail("boolean and number disagree");
        const double f = floatValue(event, key);
        if (std::isfinite(d) && std::fabs(d) <= 3.4e38 && std::fabs(f - d) > std::fabs(d) * 1e-6 + 1e-30)
            fail("single precision reading strays");
        (void)intValue(event, key);
        (void)integerValue(event, key);
        const QString s = stringValue(event, key);
        if (s.isNull() == (it.value().typeId() == QMetaType::QString)) fail("string reading of a non-string");
        if (!s.isNull() && (d != 0.0 || b)) fail("a string read as a number");
    }
    if (doubleValue(event, QStringLiteral("no such key")) != 0.0) fail("missing key is not 0");
}

struct Shell final : ZDAppDelegate {
    void resizeEventFromDevice(QSizeF) override {}
    void channelChanged(int32_t channel) override {
        if (channel != 1) fail("an introduction set a channel other than USB");
    }
    void updateUI(int32_t, int32_t) override {}
    int32_t adjustInitialMode(const QVariantMap& info) override { return readAll(info), 0; }
    void handleTapEvent(QPointF, bool ignoreSingleTap) override {
        if (ignoreSingleTap) fail("a single tap asked to be ignored");
    }
    void handleTwoFingerTapEvent(QPointF) override {}
    void handleThreeFingerTapEvent(QPointF) override {}
    void handleScrollEvent(const QVariantMap& e) override { readAll(e); }
    void handleDragEvent(const QVariantMap& e) override { readAll(e); }
    void handlePencilEvent(const QVariantMap& e) override { readAll(e); }
    void handleZoomEvent(const QVariantMap& e) override { readAll(e); }
    void handleTwoFingerRotationEvent(const QVariantMap& e) override { readAll(e); }
    void handleTwoFingerPanEvent(const QVariantMap& e) override { readAll(e); }
    void handleStylusStatusChanged(const QVariantMap& e) override { readAll(e); }
    void handleKeyboardEvent(const QVariantMap& e) override { readAll(e); }
    void handleVirtualKeyboardEvent(const QVariantMap& e) override { readAll(e); }
    void handleVirtualKeyboardSourceEvent(const QVariantMap& e) override { readAll(e); }
    void handleHoverEvent(const QVariantMap& e) override { readAll(e); }
    QPointF getRelativePoint(QPointF) override { return {-1, -1}; }
    bool isInZubScreen(QPointF) override { return false; }
    bool isInMirrorModeForBuiltinDisplay() override { return false; }
    bool isTouchBarEnabled() override { return false; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_peer_messages";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    // The session says what every introduction holds: that would drown the fuzzer's own report.
    static const bool quiet = [] {
        QLoggingCategory::setFilterRules(QStringLiteral("zubpad.*=false"));
        return true;
    }();
    (void)quiet;
    static Machine machine;
    static Shell shell;
    if (size < 1) return 0;

    // The first byte picks the frame type, the rest is its payload.
    static const uint32_t types[] = {100, 101, 102, 103, 104, 104, 104, 0};
    const uint32_t type = types[data[0] % 8];
    const QByteArray payload(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));

    CaptureController controller(machine, std::make_unique<NoLink>());
    controller.setDelegate(&shell);
    const PTData frame(payload);
    if (!controller.ioFrameChannelShouldAcceptFrameOfType(nullptr, type, 0, uint32_t(payload.size())))
        fail("a frame type of the app was refused");
    controller.ioFrameChannelDidReceiveFrameOfType(nullptr, type, 0, &frame);

    // The text form agrees with its own length field.
    const std::optional<QString> text = PeerMessage::decodeText(payload);
    const bool lengthMatches =
        payload.size() >= 4 && qFromBigEndian<quint32>(payload.constData()) == quint32(payload.size() - 4);
    if (text.has_value() != lengthMatches) fail("text accepted against its length");

    if (type == 100 && controller.checkPeerProtocolVersion(QStringLiteral("0")) !=
                           !PeerMessage::stringValue(controller.peerDeviceInfo(), "protocolVersion").isNull())
        fail("protocol test disagrees with the introduction");
    return 0;
}
