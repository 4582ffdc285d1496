#include "platform/linux/QtAlerts.h"

#include <QMessageBox>
#include <QPushButton>

int QtAlerts::runModal(const Alert& alert) {
    QMessageBox box;
    switch (alert.style) {
    case Alert::Style::Warning:
        box.setIcon(QMessageBox::Warning);
        break;
    case Alert::Style::Informational:
        box.setIcon(QMessageBox::Information);
        break;
    case Alert::Style::Critical:
        box.setIcon(QMessageBox::Critical);
        break;
    }
    box.setText(alert.messageText);
    box.setInformativeText(alert.informativeText);
    box.setWindowModality(Qt::ApplicationModal);

    const QStringList titles = alert.buttons.isEmpty() ? QStringList{QStringLiteral("OK")} : alert.buttons;
    QList<QAbstractButton*> buttons;
    for (qsizetype i = 0; i < titles.size(); ++i) {
        // The first button accepts, the others reject: Escape and the close box give the last answer.
        const auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
        buttons.append(box.addButton(titles[i], role));
    }
    box.setDefaultButton(static_cast<QPushButton*>(buttons.constFirst()));
    box.setEscapeButton(buttons.constLast());
    QAbstractButton* help = alert.showHelp ? box.addButton(QMessageBox::Help) : nullptr;

    for (;;) {
        box.exec();
        // A message box closes on every button; help keeps the question open.
        if (help && box.clickedButton() == help) {
            alert.showHelp();
            continue;
        }
        const qsizetype index = buttons.indexOf(box.clickedButton());
        return Alerts::kFirstButtonReturn + int(index < 0 ? buttons.size() - 1 : index);
    }
}
