#include "CursorTally.h"

#include <QImage>

void CursorTally::receive(const QVariantMap& event) {
    const QString name = event.value(QStringLiteral("eventName")).toString();
    if (name == QLatin1String("CursorHidden")) {
        ++hidden_;
    } else if (name == QLatin1String("CursorShown")) {
        ++shown_;
    } else if (name == QLatin1String("CursorPosChanged")) {
        ++positions_;
        const QVariant data = event.value(QStringLiteral("cursorData"));
        if (!data.isValid()) return;
        const QImage image = QImage::fromData(data.toByteArray(), "TIFF");
        if (image.isNull()) {
            ++badImages_;
            return;
        }
        ++images_;
        lastImage_ = QStringLiteral("%1x%2").arg(image.width()).arg(image.height());
    }
}

QJsonObject CursorTally::summary() const {
    return {{"positions", positions_}, {"images", images_}, {"badImages", badImages_},
            {"hidden", hidden_},       {"shown", shown_},   {"lastImage", lastImage_}};
}
