#include "ScribbleTextLine.h"

#include <QJsonArray>
#include <QKeyEvent>
#include <QVBoxLayout>

// Xlib last: its macros (None, Bool, Status) would break the Qt headers.
#include <X11/Xlib.h>

namespace {

constexpr int kPointSize = 48;

} // namespace

ScribbleTextLine::ScribbleTextLine(QWidget* canvas, std::function<void(const QJsonObject&)> log)
    : QLineEdit(canvas), log_(std::move(log)) {
    QFont big = font();
    big.setPointSize(kPointSize);
    setFont(big);
    setFrame(false);
    setPlaceholderText(QStringLiteral("type here"));
    // Out of the strokes' way, along the bottom edge, wherever that goes.
    auto* layout = new QVBoxLayout(canvas);
    layout->addStretch();
    layout->addWidget(this);
    connect(this, &QLineEdit::textChanged, this, [this](const QString& text) {
        log_({{"type", "text"}, {"text", text}});
    });
    setFocus();
}

void ScribbleTextLine::keyPressEvent(QKeyEvent* event) {
    QJsonArray modifiers;
    const Qt::KeyboardModifiers held = event->modifiers();
    if (held & Qt::ShiftModifier) modifiers << "Shift";
    if (held & Qt::ControlModifier) modifiers << "Control";
    if (held & Qt::AltModifier) modifiers << "Alt";
    if (held & Qt::MetaModifier) modifiers << "Meta";
    // On X the native key is the keysym.
    const char* keysym = XKeysymToString(KeySym(event->nativeVirtualKey()));
    log_({{"type", "key"},
          {"keysym", keysym ? QString::fromLatin1(keysym) : QString::number(event->nativeVirtualKey())},
          {"modifiers", modifiers},
          {"text", event->text()}});
    QLineEdit::keyPressEvent(event);
}
