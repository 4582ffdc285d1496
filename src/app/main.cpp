#include "base/Bundle.h"
#include "base/Logging.h"
#include "base/UserDefaults.h"
#include "display/DisplayArrangement.h"
#include "display/ResolutionController.h"
#include "display/ZDVirtualScreenController.h"
#include "platform/codec/LinuxEncoderServices.h"
#include "platform/linux/DpkgPackages.h"
#include "platform/linux/LinuxSystemInfo.h"
#include "platform/linux/NoTouchBar.h"
#include "platform/linux/Polkit.h"
#include "platform/linux/QtAlerts.h"
#include "platform/linux/QtClipboard.h"
#include "platform/linux/UinputTablet.h"
#include "platform/linux/XdgAutostart.h"
#include "platform/x11/X11CursorSource.h"
#include "platform/x11/X11DisplayServices.h"
#include "platform/x11/X11DisplayStream.h"
#include "platform/x11/X11EventMonitor.h"
#include "platform/x11/X11EventPoster.h"
#include "platform/x11/X11InputSources.h"
#include "platform/x11/X11Permissions.h"
#include "platform/x11/X11Power.h"
#include "platform/x11/X11SystemEvents.h"
#include "platform/x11/X11Workspace.h"
#include "session/CaptureController.h"
#include "shell/AppDelegate.h"
#include "shell/AppUninstaller.h"
#include "shell/BLAuthentication.h"
#include "shell/DisplayModeHandler.h"
#include "shell/InputPermission.h"
#include "shell/LaunchAtLoginController.h"
#include "shell/Settings.h"
#include "shell/TerminationSignals.h"
#include "shell/TouchBarStrip.h"
#include "shell/Updater.h"
#include "shell/UserStreamDefaults.h"
#include "shell/VersionChecker.h"

#include <QApplication>
#include <QCursor>
#include <QScreen>

#include <cerrno>
#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    // A device that goes away must show up as a write error, not end the agent.
    std::signal(SIGPIPE, SIG_IGN);

    // Started from a console or over SSH there is no desktop to show or capture; Qt would abort.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr,
                     "zubpad: needs a desktop session (neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
        return 1;
    }

    QApplication app(argc, argv);
    const Bundle& bundle = Bundle::main();
    app.setApplicationName(bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleName")).toString());
    app.setApplicationDisplayName(
        bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleDisplayName")).toString());
    app.setApplicationVersion(
        bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString());
    app.setDesktopFileName(QStringLiteral("zubpad"));
    // A tray agent: closing an alert, the only window it ever shows, must not end it.
    app.setQuitOnLastWindowClosed(false);

    // Asked to end by a signal, the agent takes the same path as its Quit item.
    TerminationSignals endSignals{SIGTERM, SIGINT, SIGHUP};

    OptError displayError;
    std::unique_ptr<X11DisplayServices> displays = X11DisplayServices::open({}, &displayError);
    if (!displays) {
        std::fprintf(stderr, "zubpad: cannot read the displays: %s\n",
                     qPrintable(displayError ? displayError->toString() : QStringLiteral("no X display")));
        return 1;
    }
    ZDVirtualScreenController displayController(*displays);

    X11Workspace workspace;
    X11SystemEvents systemEvents;
    X11Power power;
    QtAlerts alerts;
    LinuxSystemInfo systemInfo;

    // The picture: X11 capture and the Linux encoders behind the session's stream, made with the
    // session controller (only when screen recording is allowed).
    X11DisplayStreamFactory displayStreams;
    UserStreamDefaults streamDefaults(UserDefaults::standard());

    // The Touch Bar relay, only where the system has a Touch Bar to show; no Linux machine has one,
    // so here the strip is never made and its menu item stays hidden.
    NoTouchBar touchBarSource;
    std::unique_ptr<TouchBarStrip> touchBar;
    if (touchBarSource.available())
        touchBar = std::make_unique<TouchBarStrip>(touchBarSource, displayController);

    // The mode reactions of the shell, which the display side also asks for the session; the parts
    // not in this program yet are left out.
    DisplayModeHandler displayModes(displayController);
    DisplayArrangement arrangement(displayController, displayModes, UserDefaults::standard());
    ResolutionController resolutions(displayController, displayModes, UserDefaults::standard(), alerts,
                                     arrangement);
    DisplayModeHandler::Parts modeParts{
        .adjustInitialMode =
            [&resolutions](const QVariantMap& info) { return resolutions.adjustInitialMode(info); },
        .showZubPadOrCloneHiResAlert =
            [&resolutions](bool show) { return resolutions.showZubPadOrCloneHiResAlert(show); },
        .cloneDisplay = [&arrangement] { arrangement.cloneDisplay(); },
        .extendDisplaySelected = [&arrangement] { arrangement.extendDisplaySelected(); },
        .touchBarEnabled =
            [&touchBar] {
                return touchBar && UserDefaults::standard().boolForKey(DefaultsKey::enableTouchBar);
            },
        .showTouchBar = [&touchBar] { touchBar->showTouchBar(); },
    };
    displayModes.setParts(modeParts);

    // Updates from our feed (or where ZUBPAD_APPCAST_URL says), announced, never installed: the
    // package manager does that.
    Updater updater(UserDefaults::standard(), alerts, workspace, Updater::feedURL(),
                    Updater::userAgentString(systemInfo));
    // The version document (ours, or where ZUBPAD_VERSION_URL says); its offers go to the updater.
    VersionChecker versions(UserDefaults::standard(), alerts, VersionChecker::versionURL(),
                            {.checkForUpdates = [&updater] { updater.checkForUpdates(); }});

    // The login item is an XDG autostart entry of the program running now.
    const Installation installation = Installation::current();
    XdgAutostart autostart(
        bundle.objectForInfoDictionaryKey(QStringLiteral("CFBundleDisplayName")).toString());
    LaunchAtLoginController loginItems(autostart, installation.agentPath);
    // Uninstall: polkit for the administrator's step, dpkg to tell a package's files from ours.
    Polkit polkit;
    BLAuthentication authentication(polkit);
    DpkgPackages packages;
    AppUninstaller uninstaller({authentication, packages, UserDefaults::standard(), alerts, &loginItems,
                                [](int status) { QCoreApplication::exit(status); }},
                               installation);

    // The device's input: XTest for the pointer and keys, and for pressure, tilt and proximity a
    // virtual pen when /dev/uinput lets us make one (said once when it does not).
    OptError penError;
    std::unique_ptr<UinputTablet> pen = UinputTablet::open(QSize(), &penError);
    if (!pen && penError) qCInfo(lcPlatform).noquote() << penError->description;
    OptError posterError;
    std::unique_ptr<X11EventPoster> poster = X11EventPoster::open(*displays, pen.get(), {}, &posterError);
    if (!poster)
        qCWarning(lcPlatform).noquote() << "the device's input cannot reach the desktop:"
                                        << (posterError ? posterError->description : QString());
    X11EventMonitor eventMonitor;
    X11InputSources inputSources;
    X11CursorSource cursorSource;
    // The pointer in the bottom-left-origin space.
    const auto mouseLocation = [&poster] {
        if (poster) return poster->mouseLocation();
        const QPoint pos = QCursor::pos();
        return QPointF(pos.x(), QGuiApplication::primaryScreen()->geometry().bottom() + 1 - pos.y());
    };
    // The on-screen keyboard's text is pasted from the CLIPBOARD selection, which this process serves.
    QtClipboard clipboard;

    // What input can do is what could be opened: XTest for the pointer and keys. Pressure is withheld
    // when /dev/uinput is there but not writable, which the udev rule mends; a kernel without uinput
    // is no permission to ask for (the log above says so).
    const bool pressureWithheld = !pen && penError && (penError->code == EACCES || penError->code == EPERM);
    X11Permissions permissions(poster != nullptr, !pressureWithheld);
    InputPermission inputPermission(
        permissions, alerts, workspace,
        QUrl(bundle.objectForInfoDictionaryKey(QStringLiteral("PressureHelpURL")).toString()));

    ShellHooks hooks;
    hooks.versionService = &versions;
    hooks.displayModes = &displayModes;
    hooks.resolutions = &resolutions;
    hooks.accessibility = &inputPermission;
    hooks.updater = &updater;
    hooks.loginItems = &loginItems;
    hooks.uninstaller = &uninstaller;
    hooks.touchBar = touchBar.get();

    AppDelegate::Services services{
        UserDefaults::standard(),
        workspace,
        systemEvents,
        power,
        permissions,
        alerts,
        mouseLocation,
        [&](AppDelegate& shell) {
            auto controller = std::make_unique<CaptureController>(
                systemInfo, nullptr,
                StreamController::Services{displayStreams,
                                           *displays,
                                           systemInfo,
                                           streamDefaults,
                                           [&power](bool prevent, const QString& reason) {
                                               return power.preventDisplaySleep(prevent, reason);
                                           },
                                           std::make_shared<LinuxEncoderServices>(),
                                           {},
                                           {}});
            controller->setCursorServices({cursorSource, eventMonitor, mouseLocation});
            controller->useSystemCursor(
                UserDefaults::standard().boolForKey(QStringLiteral("useSystemCursor")));
            controller->setDelegate(&shell);
            controller->setupLink();
            return controller;
        },
        [](int status) { QCoreApplication::exit(status); },
        poster.get(),
        &eventMonitor,
        &inputSources,
        &clipboard,
        pen != nullptr,
    };
    AppDelegate shell(services, displayController, hooks);
    // A display added or removed refreshes the open menu.
    modeParts.updateMenu = [&shell](bool framebufferActive) { shell.updateMenu(framebufferActive); };
    displayModes.setParts(modeParts);
    // The pressure alert never interrupts a stroke.
    inputPermission.setDrawing(
        [&shell] { return shell.input() && shell.input()->pencil().bPencilStarted(); });
    QObject::connect(&endSignals, &TerminationSignals::received, &app, [&shell](int) { shell.terminate(); });

    shell.applicationDidFinishLaunching();
    return app.exec();
}
