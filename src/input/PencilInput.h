#pragma once

#include <QPointF>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <optional>

class ApplicationProfiles;
class ButtonShortcuts;
class EventPoster;
class ScreenMapping;
class TouchPointer;
struct Event;
struct InputHooks;
struct StylusInfo;

// The device's pencil as a tablet pen: strokes become left-button downs, drags and ups that carry
// pressure and tilt, bracketed by proximity events, tuned to the application in front; a short stroke
// also counts as a tap. The stylus's status reports fill StylusInfo and carry its button presses.
// Main thread only.
class PencilInput {
public:
    // The tablet this program presents itself as, stamped on every proximity event.
    static constexpr int64_t kVendorID = 0xBEEF;
    static constexpr int64_t kTabletID = 1;
    static constexpr int64_t kPointerID = 0;
    static constexpr int64_t kDeviceID = 0x81;
    static constexpr int64_t kSystemTabletID = 0;
    static constexpr int64_t kVendorPointerType = 0x802;
    static constexpr int64_t kVendorPointerSerialNumber = 1;
    static constexpr int64_t kVendorUniqueID = 0xDEADBEEF;
    // Device ID, tilt X, tilt Y, pressure and orientation.
    static constexpr int64_t kCapabilityMask = 0x1581;
    static constexpr int64_t kPointerTypePen = 1;
    // Some applications take a pressure of 0 for the end of a stroke.
    static constexpr double kMinimumPressure = 0.0001;
    // How long after the permission alert closed a stroke may ask again.
    static constexpr double kAccessibilityRecheckDelay = 0.5;

    PencilInput(EventPoster& poster, ScreenMapping& mapping, ApplicationProfiles& profiles,
                ButtonShortcuts& shortcuts, TouchPointer& pointer, StylusInfo& stylusInfo,
                const InputHooks& hooks);

    // Routes one "PencilEvent" sample by the capability of the application in front.
    void handlePencilEvent(const QVariantMap& event);
    void handlePencilEventAll(const QVariantMap& event);
    void handlePencilEventPressureOnly(const QVariantMap& event);
    // Stamps the tablet's identity and `near` on the event and posts it.
    void postProximityEvent(Event& event, bool near);
    // Stamps the pen's pressure and tilt on the event and posts it.
    void postPointerEvent(Event& event, double tiltX, double tiltY, double pressure);

    void handleStylusStatusChanged(const QVariantMap& event);
    // The status menu's "Setup Stylus on iPad".
    void setupStylus();
    // Whether a device model (such as "iPad7,3") takes the pencil.
    static bool supportApplePencil(const QString& model);

    // Ends a stroke whose end never came, as its end would have, with the pen lifted where it was
    // last drawn and no tap; true when one was open.
    bool endOpenStroke();

    bool bRequireAccessibilityGrant() const { return bRequireAccessibilityGrant_; }
    void setBRequireAccessibilityGrant(bool value) { bRequireAccessibilityGrant_ = value; }
    int32_t targetAppCapability() const { return targetAppCapability_; }
    bool bPencilStarted() const { return bPencilStarted_; }

private:
    struct Sample {
        QPointF position; // normalised, as sent
        QPointF point;    // on the desktop
        double pressure = 0.0;
        double altitude = 0.0;
        double azimuth = 0.0;
        bool start = false;
        bool end = false;
    };
    // The sample, or none when one of its values may not be posted; an end that cannot be used still
    // ends the open stroke.
    std::optional<Sample> usableSample(const QVariantMap& event);
    void route(const Sample& sample, bool tapAllowed);
    void pencilAll(const Sample& sample, bool tapAllowed);
    void pencilPressureOnly(const Sample& sample);

    EventPoster& poster_;
    ScreenMapping& mapping_;
    ApplicationProfiles& profiles_;
    ButtonShortcuts& shortcuts_;
    TouchPointer& pointer_;
    StylusInfo& stylusInfo_;
    const InputHooks& hooks_;

    int32_t targetAppCapability_ = 0;
    bool bPencilStarted_ = false;
    bool bPencilDragged_ = false;
    bool bRequireAccessibilityGrant_ = false;
    // The last sample of a stroke whose button is down, on either path.
    std::optional<Sample> heldSample_;
    bool toldOfUnusableSample_ = false;
};
