#include "video/CompressorBase.h"

#include "video/OutputDestination.h"

CompressorBase::CompressorBase() : resolutionOption_(QStringLiteral("Use Source")) {}

CompressorBase::~CompressorBase() = default;

void CompressorBase::addOutput(OutputDestination* destination) {
    if (destination) outputs_.insert(destination->name(), destination);
}

void CompressorBase::removeOutput(OutputDestination* destination) {
    if (!destination) return;
    outputs_.remove(destination->name());
    if (outputs_.isEmpty()) reset();
}
