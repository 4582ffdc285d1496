// link-probe: connects to the first device the usbmux daemon announces and trades a few frames with the
// companion app on it, printing each step. The daemon is the one USBMUXD_SOCKET_ADDRESS names, or the
// system's.
#include "LinkProbe.h"
#include "base/MainQueue.h"
#include "link/PTUSBHub.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("link-probe"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Trades a few frames with the companion app through the usbmux daemon."));
    parser.addHelpOption();
    const QCommandLineOption timeoutOption(QStringLiteral("timeout"),
                                           QStringLiteral("Give up after this many seconds (20)."),
                                           QStringLiteral("seconds"), QStringLiteral("20"));
    parser.addOption(timeoutOption);
    parser.process(app);
    bool ok = false;
    const double timeout = parser.value(timeoutOption).toDouble(&ok);
    if (!ok || timeout <= 0) {
        std::fprintf(stderr, "link-probe: bad timeout '%s'\n", qPrintable(parser.value(timeoutOption)));
        return 2;
    }

    auto print = [](const QString& line) {
        std::fprintf(stdout, "%s\n", line.toUtf8().constData());
        std::fflush(stdout);
    };
    PTUSBHub hub;
    LinkProbe probe(&hub, print, [](int code) { QCoreApplication::exit(code); });
    probe.start();
    mainQueue().after(timeout, [&] {
        print(QStringLiteral("timed out after %1 s").arg(timeout));
        QCoreApplication::exit(5);
    });
    return app.exec();
}
