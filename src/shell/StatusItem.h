#pragma once

#include "base/Clock.h"

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
    // The menu: the status line ("<display name> <version>") and "Quit", which calls `quit`.
    void setupMenu(std::function<void()> quit);
    void setImages(const ImageNames& names);

    const ImageNames& images() const { return images_; }
    QMenu* menu() const { return menu_.get(); }
    QAction* statusLineItem() const { return statusLine_; }
    QAction* quitItem() const { return quit_; }
    bool isShownInTray() const;

private:
    void showWhenTrayAvailable();

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> trayIcon_;
    QAction* statusLine_ = nullptr;
    QAction* quit_ = nullptr;
    ImageNames images_;
    std::optional<Clock::TimerId> trayPoll_;
};
