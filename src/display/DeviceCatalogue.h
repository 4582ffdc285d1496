#pragma once

#include <QSize>
#include <QSizeF>
#include <QString>
#include <QStringView>
#include <QVariantMap>
#include <cstdint>

// What a device's hardware string and view size say about it: its category ("iPhone" or "iPad"), its
// device key and size class (the parts of a "ModeTable" key), whether it can take high-resolution
// pictures, and the mode numbers of the "ModeTable" resource.
//
// A "ModeTable" key is device key + size class + one decimal digit, the size index, for example
// "iPadProLandscapeRegular2"; its value is a mode number.
namespace DeviceCatalogue {

QString getDeviceCategory(const QString& hardwareString);
QString getDeviceKey(const QString& hardwareString);
// `viewSize` in points, as the device reports its view.
QString getSizeClass(const QSizeF& viewSize, const QString& deviceKey);

// The device key and size class of a "ModeTable" key; empty when it holds neither "Landscape" nor
// "Portrait".
QString parseDeviceKey(const QString& modeTableKey);
QString parseSizeClass(const QString& modeTableKey);

// The size index under which `mode` is listed for `deviceKey` (the last such key in table order), 0
// when it is not listed.
int32_t getSizeIndex(const QVariantMap& modeTable, int32_t mode, const QString& deviceKey);
// The mode listed under deviceKey + sizeClass + sizeIndex; 0 for size index 0 or a missing key.
int32_t getMode(const QVariantMap& modeTable, const QString& deviceKey, const QString& sizeClass,
                int32_t sizeIndex, int32_t currentMode);

// A resolution label ("1366 x 1024" or "1366 x 1024 (Retina)") as pixels: (long side, short side).
// The Retina form is twice the points on each side. (0, 0) for text that is no such label.
QSize getSizeFromString(const QString& label);

bool supportHighResolutions(const QString& hardwareString);
bool cloneHiResByDefault(const QString& hardwareString);

// The integer value of the leading digits of `text` after blanks and a sign, 0 without digits, held at
// the int32 limits: the reading numbers in labels and versions get.
int32_t leadingInt(QStringView text);

} // namespace DeviceCatalogue
