#pragma once

#include "base/Clock.h"
#include "shell/StatusMenu.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QMenu;
class QSystemTrayIcon;

// The status item: a tray icon showing the link state, with the status menu. Without a system tray
// (no tray host, or no display at all) everything is made all the same and the icon shows up as soon
// as a tray appears.
class StatusItem : public QObject {
    Q_OBJECT
public:
    struct ImageNames {
        QString image;
        QString alternateImage; // empty: none
    };
    // The images for a link state: "zubpad" while a device is connected (channel not 0),
    // "zubpad_off" otherwise; in dark mode both carry "_dark", and the alternate (highlighted) image is
    // the connected form's dark image.
    static ImageNames imageNames(int32_t channel, bool darkMode);

    StatusItem();
    ~StatusItem() override;

    // The tray icon, starting with the "not connected" image.
    void setupStatusItem(bool darkMode);
    // The status menu, on the tray icon; `state` is read each time the menu opens.
    void setupMenu(std::function<MenuState()> state, StatusMenu::Actions actions);
    void setImages(const ImageNames& names);

    const ImageNames& images() const { return images_; }
    // None before setupMenu.
    StatusMenu* statusMenu() const { return statusMenu_.get(); }
    QMenu* menu() const { return statusMenu_ ? statusMenu_->menu() : nullptr; }
    QAction* statusLineItem() const { return statusMenu_ ? statusMenu_->statusLineItem() : nullptr; }
    QAction* quitItem() const { return statusMenu_ ? statusMenu_->quitItem() : nullptr; }
    bool isShownInTray() const;

private:
    void showWhenTrayAvailable();

    std::unique_ptr<StatusMenu> statusMenu_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    ImageNames images_;
    std::optional<Clock::TimerId> trayPoll_;
};
