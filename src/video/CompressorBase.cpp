#include "video/CompressorBase.h"

#include "video/OutputDestination.h"

CompressorBase::CompressorBase()
    : resolutionOption_(QStringLiteral("Use Source")), arOptions_{QStringLiteral("Use Source"),
                                                                  QStringLiteral("Preserve AR")} {}

CompressorBase::~CompressorBase() = default;

void CompressorBase::addOutput(OutputDestination* destination) {
    if (destination) outputs_.insert(destination->name(), destination);
}

void CompressorBase::removeOutput(OutputDestination* destination) {
    if (!destination) return;
    const bool wasReceiver = outputDest_.load() == destination;
    outputs_.remove(destination->name());
    if (outputs_.isEmpty() || wasReceiver) reset();
}

void CompressorBase::setErrored(bool errored) {
    if (errored_.exchange(errored) != errored) emit erroredChanged(errored);
}

bool CompressorBase::validate(Error* error) const {
    if (resolutionOption_.isEmpty() || resolutionOption_ == QLatin1String("None")) {
        if (width_ > 0 && height_ > 0) return true;
        if (error)
            *error = Error::make(kVideoCaptureErrorDomain, 150,
                                 QStringLiteral("Both width and height are required"));
        return false;
    }
    if (resolutionOption_ == QLatin1String("Preserve AR")) {
        if (width_ != 0 || height_ != 0) return true;
        if (error)
            *error = Error::make(kVideoCaptureErrorDomain, 160,
                                 QStringLiteral("Either width or height are required"));
        return false;
    }
    return true;
}
