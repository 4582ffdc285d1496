#include "input/InputTranslation.h"

#include "platform/EventPoster.h"

InputTranslation::InputTranslation(Platform platform, ZDVirtualScreenController& displayController,
                                   InputHooks hooks)
    : poster_(platform.poster), hooks_(std::move(hooks)), mapping_(displayController),
      shortcuts_(platform.poster, platform.inputSources, platform.workspace, platform.defaults, hooks_),
      profiles_(platform.workspace, platform.eventMonitor, shortcuts_, platform.defaults, hooks_),
      pointer_(platform.poster, mapping_, profiles_, shortcuts_, hooks_),
      pencil_(platform.poster, mapping_, profiles_, shortcuts_, pointer_, stylusInfo_, hooks_),
      keyboard_(platform.poster, platform.inputSources, platform.clipboard, shortcuts_) {}

void InputTranslation::releaseHeldInput() {
    pencil_.endOpenStroke();
    pointer_.endOpenDrag();
    keyboard_.cancelPendingPastes();
    // Whatever the backend still holds for events posted here goes too.
    poster_.releaseHeldInput();
}
