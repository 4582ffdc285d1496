#pragma once

#include <QByteArray>
#include <QVariantMap>

// Dictionaries as frame payloads: one property list whose top-level object is a dictionary.
namespace PTPayload {

// The dictionary as a binary property list; an empty array when it has no property-list form.
QByteArray createReferencingDispatchData(const QVariantMap& dictionary);

// Parses a property list of any format; an empty map when the bytes are empty, not a property list,
// or not a dictionary at the top.
QVariantMap dictionaryWithContentsOfDispatchData(const QByteArray& data);

} // namespace PTPayload
