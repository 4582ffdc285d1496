#pragma once

#include "platform/LoginItems.h"

#include <QString>

// The login item as an XDG autostart entry: a desktop entry in $XDG_CONFIG_HOME/autostart (by default
// ~/.config/autostart), which every freedesktop.org session starts at login. An entry the user turned
// off (Hidden=true, or GNOME's X-GNOME-Autostart-enabled=false) is no login item.
class XdgAutostart final : public LoginItems {
public:
    // $XDG_CONFIG_HOME/autostart, or ~/.config/autostart when that is unset or not absolute.
    static QString defaultDirectory();

    XdgAutostart(QString name, QString directory = defaultDirectory(),
                 QString fileName = QStringLiteral("zubpad.desktop"));

    QString entryPath() const;

    std::optional<QString> loginItemProgram() override;
    OptError insertLoginItem(const QString& programPath) override;
    OptError removeLoginItem() override;

private:
    QString name_;
    QString directory_;
    QString fileName_;
};
