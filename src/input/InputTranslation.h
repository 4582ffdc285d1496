#pragma once

#include "input/ApplicationProfiles.h"
#include "input/ButtonShortcuts.h"
#include "input/InputHooks.h"
#include "input/KeyboardInput.h"
#include "input/PencilInput.h"
#include "input/ScreenMapping.h"
#include "input/StylusInfo.h"
#include "input/TouchPointer.h"

#include <QPointF>
#include <QVariantMap>

class Clipboard;
class EventMonitor;
class EventPoster;
class InputSources;
class UserDefaults;
class Workspace;
class ZDVirtualScreenController;

// The device's input turned into desktop events: the owner of the screen mapping, the pointer, the
// pencil, the application profiles, the shortcuts and the keyboard, under the operation names the shell
// calls. Main thread only.
class InputTranslation {
public:
    struct Platform {
        EventPoster& poster;
        EventMonitor& eventMonitor;
        InputSources& inputSources;
        Workspace& workspace;
        UserDefaults& defaults;
        // Where the on-screen keyboard's text is pasted from; without one it is not pasted.
        Clipboard* clipboard = nullptr;
    };

    InputTranslation(Platform platform, ZDVirtualScreenController& displayController, InputHooks hooks);
    InputTranslation(const InputTranslation&) = delete;
    InputTranslation& operator=(const InputTranslation&) = delete;

    // -- Screen mapping.
    QPointF getScreenPoint(QPointF position) { return mapping_.getScreenPoint(position); }
    QPointF getRelativePoint(QPointF globalPoint) { return mapping_.getRelativePoint(globalPoint); }
    bool isInZubScreen(QPointF globalPoint) { return mapping_.isInZubScreen(globalPoint); }

    // -- Touch.
    void handleTapEvent(QPointF position, bool ignoreSingleTap) {
        pointer_.handleTapEvent(position, ignoreSingleTap);
    }
    void handleTwoFingerTapEvent(QPointF position) { pointer_.handleTwoFingerTapEvent(position); }
    void handleThreeFingerTapEvent(QPointF position) { pointer_.handleThreeFingerTapEvent(position); }
    void handleScrollEvent(const QVariantMap& event) { pointer_.handleScrollEvent(event); }
    void handleDragEvent(const QVariantMap& event) { pointer_.handleDragEvent(event); }
    void handleHoverEvent(const QVariantMap& event) { pointer_.handleHoverEvent(event); }

    // -- Pencil.
    void handlePencilEvent(const QVariantMap& event) { pencil_.handlePencilEvent(event); }
    void handleStylusStatusChanged(const QVariantMap& event) { pencil_.handleStylusStatusChanged(event); }
    void setupStylus() { pencil_.setupStylus(); }
    static bool supportApplePencil(const QString& model) { return PencilInput::supportApplePencil(model); }
    const StylusInfo& stylusInfo() const { return stylusInfo_; }
    bool bRequireAccessibilityGrant() const { return pencil_.bRequireAccessibilityGrant(); }
    void setBRequireAccessibilityGrant(bool value) { pencil_.setBRequireAccessibilityGrant(value); }

    // -- Application profiles.
    int32_t getCurrentApp() { return profiles_.getCurrentApp(); }
    void foremostAppChanged() { profiles_.foremostAppChanged(); }
    static int32_t getPencilCapability(int32_t app) { return ApplicationProfiles::getPencilCapability(app); }
    static int32_t getAppContextShortcut(int32_t app) {
        return ApplicationProfiles::getAppContextShortcut(app);
    }

    // -- Keyboard.
    void handleKeyboardEvent(const QVariantMap& event) { keyboard_.handleKeyboardEvent(event); }
    void handleVirtualKeyboardEvent(const QVariantMap& event) { keyboard_.handleVirtualKeyboardEvent(event); }
    void handleVirtualKeyboardSourceEvent(const QVariantMap& event) {
        keyboard_.handleVirtualKeyboardSourceEvent(event);
    }

    // The link ended or the stream stopped: a stroke or drag cut off in the middle ends with its
    // button up, and nothing posted here stays held.
    void releaseHeldInput();

    // The concerns, for the gestures and keys that build on them.
    ScreenMapping& screenMapping() { return mapping_; }
    TouchPointer& pointer() { return pointer_; }
    PencilInput& pencil() { return pencil_; }
    ApplicationProfiles& profiles() { return profiles_; }
    ButtonShortcuts& shortcuts() { return shortcuts_; }
    KeyboardInput& keyboard() { return keyboard_; }

private:
    EventPoster& poster_;
    InputHooks hooks_;
    StylusInfo stylusInfo_;
    ScreenMapping mapping_;
    ButtonShortcuts shortcuts_;
    ApplicationProfiles profiles_;
    TouchPointer pointer_;
    PencilInput pencil_;
    KeyboardInput keyboard_;
};
