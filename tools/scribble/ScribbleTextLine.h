#pragma once

#include <QJsonObject>
#include <QLineEdit>
#include <functional>

// The canvas's line of text: it has the keyboard focus, shows what is typed or pasted in letters
// large enough for a scaled-down picture, and logs through `log`, as JSON lines,
//   {"type":"key","keysym":"z","modifiers":["Control"],"text":"\u001a"}   each key press, as X named it
//   {"type":"text","text":"..."}                                     the line after each change
class ScribbleTextLine final : public QLineEdit {
public:
    ScribbleTextLine(QWidget* canvas, std::function<void(const QJsonObject&)> log);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    std::function<void(const QJsonObject&)> log_;
};
