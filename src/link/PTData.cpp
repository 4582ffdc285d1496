#include "link/PTData.h"

PTData::PTData(QByteArray bytes) : dispatchData_(std::move(bytes)), length_(size_t(dispatchData_.size())) {}

PTData::~PTData() {
    length_ = 0;
}

QString PTData::description() const {
    return QString::asprintf("<PTData: %p (%zu bytes)>", static_cast<const void*>(this), length_);
}
