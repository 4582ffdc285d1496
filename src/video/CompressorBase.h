#pragma once

#include "base/Error.h"
#include "platform/EncoderSession.h"

#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <atomic>
#include <memory>

class CompressorBase;
class OutputDestination;

// What a compressor and its destinations ask of the controller that owns them (the stream half of
// the session controller).
class CompressorSettingsController {
public:
    virtual ~CompressorSettingsController() = default;
    // The capture source's frame rate.
    virtual double captureFPS() const = 0;
    // The `compressors` table entry of that name, or null.
    virtual std::shared_ptr<CompressorBase> compressorNamed(const QString& name) const = 0;
    // Null on the live path.
    virtual std::shared_ptr<CompressorBase> selectedCompressor() const = 0;
};

inline const QString kVideoCaptureErrorDomain = QStringLiteral("videoCapture");

// The settings every compressor shares, and the destinations it feeds.
class CompressorBase : public QObject {
    Q_OBJECT

public:
    CompressorBase();
    ~CompressorBase() override;

    // Enters the destination under its `name`. Not owned: a destination leaves before it goes.
    void addOutput(OutputDestination* destination);
    // Removes the entry under its name. A compressor left without outputs resets, so no frame reaches
    // a destination that has gone. Call with the frame clock stopped.
    void removeOutput(OutputDestination* destination);
    bool hasOutputs() const { return !outputs_.isEmpty(); }
    const QMap<QString, OutputDestination*>& outputs() const { return outputs_; }

    virtual void reset() {}
    virtual bool compressFrame() { return true; }

    bool errored() const { return errored_.load(); }
    void setErrored(bool errored) { errored_.store(errored); }
    bool bFineTune() const { return bFineTune_; }
    void setBFineTune(bool fineTune) { bFineTune_ = fineTune; }
    int width() const { return width_; }
    void setWidth(int width) { width_ = width; }
    int height() const { return height_; }
    void setHeight(int height) { height_ = height; }
    int working_width() const { return workingWidth_.load(); }
    void setWorking_width(int width) { workingWidth_.store(width); }
    int working_height() const { return workingHeight_.load(); }
    void setWorking_height(int height) { workingHeight_.store(height); }
    CompressorSettingsController* settingsController() const { return settingsController_.load(); }
    void setSettingsController(CompressorSettingsController* controller) {
        settingsController_.store(controller);
    }
    const QString& resolutionOption() const { return resolutionOption_; }
    void setResolutionOption(const QString& option) { resolutionOption_ = option; }
    const QString& compressorType() const { return compressorType_; }
    void setCompressorType(const QString& type) { compressorType_ = type; }
    const QString& name() const { return name_; }
    void setName(const QString& name) { name_ = name; }

protected:
    QMap<QString, OutputDestination*> outputs_;
    // The destination handed every compressed frame of the current session; chosen at its first frame.
    std::atomic<OutputDestination*> outputDest_{nullptr};

private:
    std::atomic<bool> errored_{false};
    bool bFineTune_ = false;
    int width_ = 0, height_ = 0;
    std::atomic<int> workingWidth_{0}, workingHeight_{0};
    std::atomic<CompressorSettingsController*> settingsController_{nullptr};
    QString resolutionOption_;
    QString compressorType_;
    QString name_;
};
