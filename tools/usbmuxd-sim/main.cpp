// usbmuxd-sim: a usbmux daemon for tests and the demo.
//
//   usbmuxd-sim --socket PATH [--device ID:PORT[:SERIAL]]... [--accept-binary] [--control PATH]
//
// Devices are TCP ports on 127.0.0.1: a "Connect" to any port of a device reaches the port the device
// was attached with. Commands, one per line on standard input or on the control socket:
// "attach ID PORT [SERIAL]", "detach ID", "drop ID" (the daemon closes the device's connections, the
// device staying attached), "list", "quit". Every event is printed as one line ("ready PATH",
// "attached ID PORT SERIAL", "detached ID", "dropped ID COUNT", "listen CLIENT", "connect ID PORT ok",
// "connect ID PORT refused", "connect ID unknown", "illegal CLIENT TYPE", "dropped-binary CLIENT TAG",
// "closed CLIENT", "error ..."), on standard output and to every control connection.
// End of standard input is not a quit: started in the background, the daemon keeps serving.

#include "Simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

// Splits a byte stream into lines and runs each as a command.
class LineReader {
public:
    explicit LineReader(std::function<void(const QString&)> onLine) : onLine_(std::move(onLine)) {}
    void feed(const QByteArray& bytes) {
        buffer_ += bytes;
        qsizetype nl;
        while ((nl = buffer_.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(buffer_.left(nl)).trimmed();
            buffer_.remove(0, nl + 1);
            onLine_(line);
        }
        // A line this long is no command: drop it rather than grow without bound.
        if (buffer_.size() > 64 * 1024) buffer_.clear();
    }

private:
    std::function<void(const QString&)> onLine_;
    QByteArray buffer_;
};

} // namespace

int main(int argc, char** argv) {
    // A client that goes away mid-write must not kill the daemon.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("usbmuxd-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("usbmux daemon simulator"));
    parser.addHelpOption();
    QCommandLineOption socketOpt(QStringLiteral("socket"), QStringLiteral("Unix socket path to serve."),
                                 QStringLiteral("path"));
    QCommandLineOption deviceOpt(QStringLiteral("device"), QStringLiteral("A device present from the start."),
                                 QStringLiteral("id:port[:serial]"));
    QCommandLineOption binaryOpt(
        QStringLiteral("accept-binary"),
        QStringLiteral("Answer binary property-list requests (Debian's daemon drops them)."));
    QCommandLineOption controlOpt(QStringLiteral("control"), QStringLiteral("Unix socket path for commands."),
                                  QStringLiteral("path"));
    parser.addOptions({socketOpt, deviceOpt, binaryOpt, controlOpt});
    parser.process(app);
    if (!parser.isSet(socketOpt)) {
        std::fprintf(stderr, "usbmuxd-sim: --socket PATH is required\n");
        return 2;
    }

    QList<QLocalSocket*> controlClients;
    auto print = [&controlClients](const QString& line) {
        const QByteArray bytes = line.toUtf8() + '\n';
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        std::fflush(stdout);
        for (QLocalSocket* s : std::as_const(controlClients))
            s->write(bytes);
    };

    Simulator sim(parser.isSet(binaryOpt), print);
    for (const QString& text : parser.values(deviceOpt)) {
        Simulator::Device d;
        QString error;
        if (!Simulator::parseDevice(text, &d)) {
            std::fprintf(stderr, "usbmuxd-sim: bad --device %s (want ID:PORT[:SERIAL])\n", qPrintable(text));
            return 2;
        }
        if (!sim.attach(d, &error)) {
            std::fprintf(stderr, "usbmuxd-sim: %s\n", qPrintable(error));
            return 2;
        }
    }

    auto runCommand = [&sim](const QString& line) {
        if (!sim.command(line)) QCoreApplication::quit();
    };

    QLocalServer control;
    if (parser.isSet(controlOpt)) {
        const QString path = parser.value(controlOpt);
        QLocalServer::removeServer(path);
        if (!control.listen(path)) {
            std::fprintf(stderr, "usbmuxd-sim: control socket %s: %s\n", qPrintable(path),
                         qPrintable(control.errorString()));
            return 1;
        }
        QObject::connect(&control, &QLocalServer::newConnection, &control, [&]() {
            while (QLocalSocket* s = control.nextPendingConnection()) {
                controlClients.append(s);
                auto reader = std::make_shared<LineReader>(runCommand);
                QObject::connect(s, &QLocalSocket::readyRead, s,
                                 [s, reader]() { reader->feed(s->readAll()); });
                QObject::connect(s, &QLocalSocket::disconnected, &control, [s, &controlClients]() {
                    controlClients.removeAll(s);
                    s->deleteLater();
                });
            }
        });
    }

    QString error;
    if (!sim.listen(parser.value(socketOpt), &error)) {
        std::fprintf(stderr, "usbmuxd-sim: %s\n", qPrintable(error));
        return 1;
    }

    LineReader stdinReader(runCommand);
    QSocketNotifier stdinNotifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&stdinNotifier, &QSocketNotifier::activated, &stdinNotifier, [&]() {
        char buf[4096];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n > 0)
            stdinReader.feed(QByteArray(buf, n));
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            stdinNotifier.setEnabled(false);
    });

    print(QStringLiteral("ready %1").arg(parser.value(socketOpt)));
    const int rc = QCoreApplication::exec();
    QLocalServer::removeServer(parser.value(socketOpt));
    if (parser.isSet(controlOpt)) QLocalServer::removeServer(parser.value(controlOpt));
    print(QStringLiteral("quit"));
    return rc;
}
