// device-sim: plays the companion app for the agent, the tests and the demo. See README.md.
#include "DeviceScript.h"
#include "DeviceSim.h"
#include "FrameRecorder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTextStream>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

// The port the companion app listens on.
constexpr uint16_t kDevicePort = 23481;

// SIGTERM and SIGINT, turned into a byte on a pipe that the event loop watches: the last picture is
// written from there, not from the signal handler.
int signalPipe[2] = {-1, -1};

void onStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
}

[[noreturn]] void die(const QString& message, int code = 2) {
    std::fprintf(stderr, "device-sim: %s\n", qPrintable(message));
    std::exit(code);
}

} // namespace

int main(int argc, char** argv) {
    // A peer that goes away must show up as an error, not end the simulator.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("device-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("The companion app's side of the link, driven by a script."));
    parser.addHelpOption();
    const QCommandLineOption scriptOption(QStringLiteral("script"),
                                          QStringLiteral("Script to play on each connection (- for stdin)."),
                                          QStringLiteral("file"));
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("Port on 127.0.0.1 (0 picks a free one, the default; %1 is the app's).")
            .arg(kDevicePort),
        QStringLiteral("port"), QStringLiteral("0"));
    const QCommandLineOption recordOption(
        QStringLiteral("record"), QStringLiteral("Where the frame record goes (- for stdout, the default)."),
        QStringLiteral("file"), QStringLiteral("-"));
    const QCommandLineOption onceOption(
        QStringLiteral("once"),
        QStringLiteral("Exit after the first connection ends: 0 when its script ran through."));
    const QCommandLineOption controlOption(
        QStringLiteral("control"),
        QStringLiteral("Script lines to run on the open connection as they are read (- for stdin)."),
        QStringLiteral("file"));
    const QCommandLineOption lastFrameOption(
        QStringLiteral("last-frame"),
        QStringLiteral("Write the last decoded picture as PNG here when a connection ends and at SIGTERM or "
                       "SIGINT; also the path of a bare save-picture."),
        QStringLiteral("png"));
    const QCommandLineOption timestampsOption(
        QStringLiteral("timestamps"),
        QStringLiteral("Stamp each record line with \"t\", microseconds of the monotonic clock."));
    parser.addOptions({scriptOption, portOption, recordOption, onceOption, controlOption, lastFrameOption,
                       timestampsOption});
    parser.process(app);

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) die(QStringLiteral("bad port '%1'").arg(parser.value(portOption)));

    QString scriptText;
    if (parser.isSet(scriptOption)) {
        QFile file;
        const QString path = parser.value(scriptOption);
        const bool opened = path == QLatin1String("-")
                                ? file.open(stdin, QIODevice::ReadOnly)
                                : (file.setFileName(path), file.open(QIODevice::ReadOnly));
        if (!opened) die(QStringLiteral("cannot read script %1: %2").arg(path, file.errorString()));
        scriptText = QString::fromUtf8(file.readAll());
    }
    OptError scriptError;
    std::vector<ScriptCommand> script = DeviceScript::parse(scriptText, &scriptError);
    if (scriptError) die(QStringLiteral("%1: %2").arg(parser.value(scriptOption), scriptError->description));

    QFile status;
    if (!status.open(stdout, QIODevice::WriteOnly)) die(QStringLiteral("cannot write to stdout"));
    QFile recordFile;
    const QString recordPath = parser.value(recordOption);
    if (recordPath == QLatin1String("-")) {
        if (!recordFile.open(stdout, QIODevice::WriteOnly)) die(QStringLiteral("cannot write to stdout"));
    } else {
        recordFile.setFileName(recordPath);
        if (!recordFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
            die(QStringLiteral("cannot write the record %1: %2").arg(recordPath, recordFile.errorString()));
    }
    FrameRecorder recorder(&recordFile);
    recorder.setTimestamps(parser.isSet(timestampsOption));
    FrameRecorder statusWriter(&status);

    DeviceSim sim(std::move(script), &recorder, [&](const QJsonObject& line) { statusWriter.write(line); });
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (parser.isSet(lastFrameOption)) {
        sim.setLastFramePath(parser.value(lastFrameOption));
        if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) die(QStringLiteral("cannot make a pipe"));
        signalNotifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&sim] {
            sim.saveLastFrame();
            QCoreApplication::exit(0);
        });
        struct sigaction action = {};
        action.sa_handler = onStopSignal;
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
    }
    const bool once = parser.isSet(onceOption);
    sim.setConnectionEnded([once](bool succeeded) {
        if (once) QCoreApplication::exit(succeeded ? 0 : 1);
    });
    // Control lines: each one runs on the open connection as soon as it is read.
    QFile controlFile;
    std::unique_ptr<QSocketNotifier> controlNotifier;
    QByteArray controlBuffer;
    if (parser.isSet(controlOption)) {
        const QString path = parser.value(controlOption);
        if (path == QLatin1String("-") && parser.value(scriptOption) == QLatin1String("-"))
            die(QStringLiteral("the script and the control lines cannot both come from stdin"));
        const int fd = path == QLatin1String("-") ? 0 : ::open(qPrintable(path), O_RDONLY | O_NONBLOCK);
        if (fd < 0) die(QStringLiteral("cannot read control lines from %1").arg(path));
        controlNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        QObject::connect(controlNotifier.get(), &QSocketNotifier::activated, [&, fd]() {
            char chunk[4096];
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got <= 0) {
                if (got == 0 || (errno != EAGAIN && errno != EINTR)) controlNotifier->setEnabled(false);
                return;
            }
            controlBuffer.append(chunk, got);
            qsizetype nl;
            while ((nl = controlBuffer.indexOf('\n')) >= 0) {
                const QString line = QString::fromUtf8(controlBuffer.left(nl));
                controlBuffer.remove(0, nl + 1);
                OptError error;
                std::vector<ScriptCommand> commands = DeviceScript::parse(line, &error);
                if (error) {
                    statusWriter.write(
                        QJsonObject{{QStringLiteral("event"), QStringLiteral("control-failed")},
                                    {QStringLiteral("error"), error->description}});
                } else if (!commands.empty()) {
                    sim.control(std::move(commands));
                }
            }
            // A line this long is no command.
            if (controlBuffer.size() > 64 * 1024) controlBuffer.clear();
        });
    }

    sim.listen(uint16_t(port), [](const OptError& error, uint16_t) {
        if (error) die(QStringLiteral("cannot listen: %1").arg(error->toString()));
    });
    return app.exec();
}
