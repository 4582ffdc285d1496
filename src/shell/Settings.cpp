#include "shell/Settings.h"

#include "base/Bundle.h"
#include "base/UserDefaults.h"
#include "shell/ShellHooks.h"

#include <QThreadPool>

Settings::Settings(UserDefaults& defaults) : defaults_(defaults) {
    serialPool_.setMaxThreadCount(1);
}

Settings::~Settings() {
    waitForBackgroundWork();
}

void Settings::waitForBackgroundWork() {
    std::unique_lock lock(backgroundMutex_);
    backgroundDone_.wait(lock, [this] { return backgroundPending_ == 0; });
}

bool Settings::isFirstLaunch() const {
    return !defaults_.containsKey(DefaultsKey::FPS);
}

void Settings::loadDefaults(LoginItemState* loginItems) {
    autoUpdateApp_ = defaults_.boolForKey(DefaultsKey::autoUpdateApp);
    preventDisplaySleep_ = defaults_.boolForKey(DefaultsKey::preventDisplaySleep);
    useSystemCursor_ = defaults_.boolForKey(DefaultsKey::useSystemCursor);
    enableTouchBar_ = defaults_.boolForKey(DefaultsKey::enableTouchBar);
    if (isFirstLaunch()) defaults_.setBool(true, DefaultsKey::photoshopNeedGrant);

    launchAtLogin_ = defaults_.boolForKey(DefaultsKey::launchAtLogin);
    if (!loginItems) return;
    const int choices = launchAtLoginChoices_.load();
    runInBackground([this, loginItems, choices] {
        const bool stored = defaults_.boolForKey(DefaultsKey::launchAtLogin);
        // A login item added or removed outside the program is the truth, unless the user chose in
        // the menu meanwhile: that choice is applied after this and stays.
        const bool real = loginItems->launchAtLogin();
        if (real != stored && launchAtLoginChoices_.load() == choices) {
            launchAtLogin_ = real;
            defaults_.setBool(real, DefaultsKey::launchAtLogin);
        }
    });
}

void Settings::runInBackground(std::function<void()> work) {
    {
        std::lock_guard lock(backgroundMutex_);
        ++backgroundPending_;
    }
    serialPool_.start([this, work = std::move(work)] {
        work();
        std::lock_guard lock(backgroundMutex_);
        --backgroundPending_;
        backgroundDone_.notify_all();
    });
}

void Settings::setAutoUpdateApp(bool value) {
    autoUpdateApp_ = value;
    defaults_.setBool(value, DefaultsKey::autoUpdateApp);
}

void Settings::setUseSystemCursor(bool value) {
    useSystemCursor_ = value;
    defaults_.setBool(value, DefaultsKey::useSystemCursor);
}

void Settings::setLaunchAtLogin(bool value, LoginItemState* loginItems) {
    ++launchAtLoginChoices_;
    launchAtLogin_ = value;
    defaults_.setBool(value, DefaultsKey::launchAtLogin);
    if (loginItems) runInBackground([loginItems, value] { loginItems->setLaunchAtLogin(value); });
}

void Settings::loadProtocolVersion() {
    const QVariant version = Bundle::main()
                                 .propertyListResource(QStringLiteral("Defaults"))
                                 .toMap()
                                 .value(QStringLiteral("protocolVersion"));
    protocolVersion_ = version.typeId() == QMetaType::QString ? version.toString() : QString();
}

void Settings::setEnableTouchBar(bool on) {
    enableTouchBar_ = on;
    defaults_.setBool(on, DefaultsKey::enableTouchBar);
}
