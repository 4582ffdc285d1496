// scribble: a pen canvas. Draws the strokes of the pointer (or a pen) in black on white over the whole
// desktop, or where --geometry says, and writes every pointer event it receives to --events as JSON
// lines (ScribbleCanvas.h).
//
//   scribble [--events PATH] [--geometry WxH+X+Y]
#include "ScribbleCanvas.h"
#include "ScribbleTextLine.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QRegularExpression>
#include <QScreen>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("A pen canvas that logs the pointer events it receives."));
    parser.addHelpOption();
    const QCommandLineOption events(QStringLiteral("events"),
                                    QStringLiteral("Write each event as a JSON line to <path>."),
                                    QStringLiteral("path"));
    const QCommandLineOption geometry(
        QStringLiteral("geometry"),
        QStringLiteral("Place the canvas at <WxH+X+Y> instead of over the whole desktop."),
        QStringLiteral("WxH+X+Y"));
    parser.addOptions({events, geometry});
    parser.process(app);

    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        std::fprintf(stderr, "scribble: needs an X display (the platform is %s)\n",
                     qPrintable(QGuiApplication::platformName()));
        return 2;
    }
    QRect rect = QGuiApplication::primaryScreen()->virtualGeometry();
    if (parser.isSet(geometry)) {
        const auto match = QRegularExpression(QStringLiteral("^(\\d+)x(\\d+)\\+(\\d+)\\+(\\d+)$"))
                               .match(parser.value(geometry));
        if (!match.hasMatch()) {
            std::fprintf(stderr, "scribble: --geometry wants WxH+X+Y, not %s\n",
                         qPrintable(parser.value(geometry)));
            return 2;
        }
        rect = QRect(match.captured(3).toInt(), match.captured(4).toInt(), match.captured(1).toInt(),
                     match.captured(2).toInt());
    }

    ScribbleCanvas canvas(parser.value(events));
    // No frame and no window manager's say in where it goes: the events' window coordinates are then
    // the root's less the canvas's corner.
    canvas.setWindowFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    canvas.setGeometry(rect);
    // -- keys: a line of text along the bottom that takes the keyboard and logs what it is typed.
    ScribbleTextLine textLine(&canvas, [&canvas](const QJsonObject& line) { canvas.writeLine(line); });
    // Without a window manager the canvas takes the X focus itself.
    canvas.show();
    canvas.activateWindow();
    // -- end keys
    if (const QString failure = canvas.listen(); !failure.isEmpty()) {
        std::fprintf(stderr, "scribble: %s\n", qPrintable(failure));
        return 1;
    }
    return app.exec();
}
