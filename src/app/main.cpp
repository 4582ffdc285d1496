#include "app/LoggingAppDelegate.h"
#include "base/Bundle.h"
#include "platform/x11/LinuxSystemInfo.h"
#include "session/CaptureController.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    (void)!write(g_signalPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char** argv) {
    // A device that goes away must show up as a write error, not end the agent.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    app.setApplicationName(
        Bundle::main().objectForInfoDictionaryKey(QStringLiteral("CFBundleName")).toString());
    app.setApplicationVersion(
        Bundle::main().objectForInfoDictionaryKey(QStringLiteral("CFBundleShortVersionString")).toString());

    LinuxSystemInfo systemInfo;
    LoggingAppDelegate shell;
    CaptureController controller(systemInfo);
    controller.setDelegate(&shell);

    // SIGTERM and SIGINT end the run in order: the device is told, the link is closed.
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) == 0) {
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [&]() {
            char byte;
            (void)!read(g_signalPipe[0], &byte, 1);
            controller.sendMessage(QStringLiteral("appWillTerminate"), PeerMessage::kChannelCurrent);
            controller.shutdownLink();
            QCoreApplication::quit();
        });
        std::signal(SIGTERM, onSignal);
        std::signal(SIGINT, onSignal);
    }

    controller.setupLink();
    return app.exec();
}
