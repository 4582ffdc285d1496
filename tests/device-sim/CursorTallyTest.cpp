#include "CursorTally.h"

#include <QBuffer>
#include <QImage>
#include <gtest/gtest.h>

namespace {

QByteArray tiff(QSize size) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "TIFF");
    return data;
}

// Positions with and without pictures, pictures that are no TIFF, hidden and shown are told apart, and
// other events are no cursor messages.
TEST(CursorTallyTest, CountsWhatTheAppHeardOfTheCursor) {
    const QVariantMap pos{{"eventName", "CursorPosChanged"}, {"x", 0.5}, {"y", 0.5}};
    QVariantMap withPicture = pos;
    withPicture["cursorData"] = tiff(QSize(16, 24));
    QVariantMap bigPicture = pos;
    bigPicture["cursorData"] = tiff(QSize(256, 128));
    QVariantMap badPicture = pos;
    badPicture["cursorData"] = QByteArray("II*\0garbage", 11);
    QVariantMap emptyPicture = pos;
    emptyPicture["cursorData"] = QByteArray();

    CursorTally tally;
    EXPECT_TRUE(tally.empty());
    for (const QVariantMap& event :
         {withPicture, pos, pos, badPicture, emptyPicture, bigPicture,
          QVariantMap{{"eventName", "CursorHidden"}}, QVariantMap{{"eventName", "CursorShown"}},
          QVariantMap{{"eventName", "CursorHidden"}}, QVariantMap{{"eventName", "DeviceResize"}},
          QVariantMap{}})
        tally.receive(event);
    EXPECT_FALSE(tally.empty());
    EXPECT_EQ(tally.summary(), (QJsonObject{{"positions", 6},
                                            {"images", 2},
                                            {"badImages", 2},
                                            {"hidden", 2},
                                            {"shown", 1},
                                            {"lastImage", "256x128"}}));
}

} // namespace
