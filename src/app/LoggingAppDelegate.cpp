#include "app/LoggingAppDelegate.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

namespace {

void line(const QString& text) {
    // Flushed per line, so whoever reads the stream sees each call as it happens.
    static QTextStream err(stderr);
    err << "zubpad: " << text << Qt::endl;
}

QString point(QPointF p) {
    return QStringLiteral("(%1, %2)").arg(p.x()).arg(p.y());
}

} // namespace

void LoggingAppDelegate::log(const char* operation, const QVariantMap& event) {
    // Data values (images) have no JSON form and show as null; the keys still show what came.
    const QByteArray json = QJsonDocument(QJsonObject::fromVariantMap(event)).toJson(QJsonDocument::Compact);
    line(QStringLiteral("%1 %2").arg(QLatin1String(operation), QString::fromUtf8(json)));
}

void LoggingAppDelegate::resizeEventFromDevice(QSizeF size) {
    line(QStringLiteral("resizeEventFromDevice %1x%2").arg(size.width()).arg(size.height()));
}
void LoggingAppDelegate::channelChanged(int32_t channel) {
    line(QStringLiteral("channelChanged %1").arg(channel));
}
void LoggingAppDelegate::updateUI(int32_t channel, int32_t mode) {
    line(QStringLiteral("updateUI %1 %2").arg(channel).arg(mode));
}
int32_t LoggingAppDelegate::adjustInitialMode(const QVariantMap& deviceInfo) {
    log("adjustInitialMode", deviceInfo);
    return 0;
}
void LoggingAppDelegate::handleTapEvent(QPointF p, bool ignoreSingleTap) {
    line(QStringLiteral("handleTapEvent %1 %2").arg(point(p)).arg(ignoreSingleTap ? 1 : 0));
}
void LoggingAppDelegate::handleTwoFingerTapEvent(QPointF p) {
    line("handleTwoFingerTapEvent " + point(p));
}
void LoggingAppDelegate::handleThreeFingerTapEvent(QPointF p) {
    line("handleThreeFingerTapEvent " + point(p));
}
QPointF LoggingAppDelegate::getRelativePoint(QPointF) {
    return {-1.0, -1.0};
}
bool LoggingAppDelegate::isInZubScreen(QPointF) {
    return false;
}
bool LoggingAppDelegate::isInMirrorModeForBuiltinDisplay() {
    return false;
}
bool LoggingAppDelegate::isTouchBarEnabled() {
    return false;
}
