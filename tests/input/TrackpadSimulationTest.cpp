#include "input/TrackpadSimulation.h"

#include "fakes/ManualClock.h"
#include "fakes/RecordingEventPoster.h"

#include <QCoreApplication>
#include <gtest/gtest.h>
#include <limits>

namespace {

constexpr uint64_t kT = 0x0102030405060708;

QByteArray hex(const QString& text) {
    return QByteArray::fromHex(text.toLatin1());
}
QString zeros(int bytes) {
    return QStringLiteral("00").repeated(bytes);
}

// Everything before the tagged fields, stamped kT.
QByteArray head() {
    return hex("00c0106d"
               // time record
               "0807060504030201"
               "0000000000000000"
               "02000000"
               "02000000"
               // event record
               "60000000"
               "0b000000"
               "0807060504030201"
               "02000000" +
               zeros(16) + "23000000" + zeros(56) +
               // device record
               "48000000"
               "01000000" +
               zeros(12) +
               "00ff7717"
               "01000000"
               "28000000" +
               zeros(8) + zeros(32));
}

} // namespace

TEST(TrackpadSimulationTest, GesturesSerializeByteForByte) {
    using T = TrackpadSimulation;
    // Subtype, 0, phase, 0, each a tagged integer; then the value field; then two float zeros.
    const auto begin = [](const QString& subtype, const QString& phase) {
        return "0001406e" + subtype + "0001406f00000000" + "00014084" + phase + "0001408500000000";
    };
    const QString end = "0001c08b00000000"
                        "0001c08c00000000";
    const struct {
        const char* what;
        QVariantMap description;
        QString tagged;
        double value;
    } cases[] = {
        {"magnify 0.25, changed", T::gestureDescription(8, 2, T::kMagnification, 0.25),
         begin("00000008", "00000002") + "0001c0713e800000" + end, 0.25},
        {"rotate -90, ended", T::gestureDescription(5, 4, T::kRotation, -90.0),
         begin("00000005", "00000004") + "0001c072c2b40000" + end, -90.0},
        {"smart zoom: no phase, no value", T::gestureDescription(22, std::nullopt),
         begin("00000016", "00000000") + end, 0.0},
        {"swipe -1", T::gestureDescription(16, std::nullopt, T::kSwipeDirection, -1.0),
         begin("00000010", "00000000") + "00014073ffffffff" + end, -1.0},
        {"swipe 4.9 truncates", T::gestureDescription(16, std::nullopt, T::kSwipeDirection, 4.9),
         begin("00000010", "00000000") + "0001407300000004" + end, 4.9},
        {"swipe beyond the integers", T::gestureDescription(16, std::nullopt, T::kSwipeDirection, 1e300),
         begin("00000010", "00000000") + "000140737fffffff" + end, 1e300},
        {"no subtype", {{T::kDeviceID, qint64(0)}}, begin("0000000b", "00000000") + end, 0.0},
    };
    for (const auto& c : cases) {
        const std::optional<GestureEvent> gesture = T::gestureEvent(c.description, kT);
        ASSERT_TRUE(gesture) << c.what;
        EXPECT_EQ(gesture->data.toHex().toStdString(), (head() + hex(c.tagged)).toHex().toStdString())
            << c.what;
        EXPECT_EQ(gesture->value, c.value) << c.what;
        EXPECT_EQ(gesture->timestamp, kT);
    }
    for (const double bad :
         {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()})
        for (const QString& key : {T::kMagnification, T::kRotation, T::kSwipeDirection}) {
            const int32_t subtype = key == T::kMagnification ? 8 : key == T::kRotation ? 5 : 16;
            EXPECT_FALSE(T::gestureEvent(T::gestureDescription(subtype, 2, key, bad), kT))
                << key.toStdString();
        }
}

TEST(TrackpadSimulationTest, CallsPostInOrderAfterTheCallerReturnsWithTheirPhases) {
    ManualClock clock;
    clock.advance(2.5);
    RecordingEventPoster poster;
    auto trackpad = std::make_unique<TrackpadSimulation>(poster);
    trackpad->simulateZoomEvent(0.25, true, true); // a start wins over an end
    trackpad->simulateZoomEvent(0.25, false, false);
    trackpad->simulateRotateEvent(-3.0, false, true);
    trackpad->simulateSmartZoomEvent();
    trackpad->simulateSwipe2Event(8.0);
    trackpad->simulateZoomEvent(std::numeric_limits<double>::quiet_NaN(), false, false);
    EXPECT_TRUE(poster.records.empty());
    QCoreApplication::processEvents();
    const std::vector<std::tuple<int32_t, int32_t, double>> expected = {
        {8, 1, 0.25}, {8, 2, 0.25}, {5, 4, -3.0}, {22, 0, 0.0}, {16, 0, 8.0}};
    ASSERT_EQ(poster.records.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const RecordingEventPoster::Record& r = poster.records[i];
        EXPECT_EQ(r.kind, RecordingEventPoster::Record::Gesture);
        EXPECT_EQ(std::tuple(r.gesture.subtype, r.gesture.phase, r.gesture.value), expected[i]) << i;
        EXPECT_EQ(r.gesture.timestamp, uint64_t(clock.uptime() * 1e9));
        EXPECT_EQ(r.tap, EventTap::kHID);
    }
    // Nothing is posted for a simulator gone before its turn came.
    poster.records.clear();
    trackpad->simulateSmartZoomEvent();
    trackpad.reset();
    QCoreApplication::processEvents();
    EXPECT_TRUE(poster.records.empty());
}
