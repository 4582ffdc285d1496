#include "link/PTPayload.h"

#include "base/PropertyList.h"

namespace PTPayload {

QByteArray createReferencingDispatchData(const QVariantMap& dictionary) {
    return PropertyList::serialize(dictionary, PropertyList::Format::Binary);
}

QVariantMap dictionaryWithContentsOfDispatchData(const QByteArray& data) {
    if (data.isEmpty()) return {};
    return PropertyList::parseDictionary(data);
}

} // namespace PTPayload
