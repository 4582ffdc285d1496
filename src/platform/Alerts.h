#pragma once

#include <QString>
#include <QStringList>
#include <functional>

struct Alert {
    enum class Style { Warning, Informational, Critical };

    Style style = Style::Warning;
    QString messageText;
    QString informativeText;
    // In order; the first is the default button. No buttons means a single "OK".
    QStringList buttons;
    // When set, the alert offers a help button that calls it and stays open.
    std::function<bool()> showHelp;
};

// Modal alerts on the main thread.
class Alerts {
public:
    // The answer of runModal: the first button is kFirstButtonReturn, the next one more, and so on.
    static constexpr int kFirstButtonReturn = 1000;

    virtual ~Alerts() = default;
    // Shows the alert and waits for the answer; returns kFirstButtonReturn + the index of the button.
    virtual int runModal(const Alert& alert) = 0;
};
