#pragma once

#include "base/Error.h"

#include <QByteArray>
#include <QVariant>

// Property lists <-> QVariant. Dictionaries are QVariantMap, arrays QVariantList, strings QString,
// data QByteArray, booleans bool, integers qlonglong, reals double, dates QDateTime (UTC).
namespace PropertyList {

enum class Format { Binary, Xml };

// Serialises `value`; an empty array and an error when something in it has no property-list form.
QByteArray serialize(const QVariant& value, Format format, OptError* error = nullptr);

// Parses binary or XML property lists; an invalid QVariant and an error when the bytes are not one.
QVariant parse(const QByteArray& bytes, OptError* error = nullptr);

// The top-level object must be a dictionary: anything else is an error.
QVariantMap parseDictionary(const QByteArray& bytes, OptError* error = nullptr);

} // namespace PropertyList
