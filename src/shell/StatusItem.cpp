#include "shell/StatusItem.h"

#include "base/Bundle.h"
#include "base/MainQueue.h"
#include "shell/Localization.h"

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace {

// How often to look for a tray that was not there yet.
constexpr double kTrayPollInterval = 2.0;

// An image resource at 1x and 2x; a missing resource adds nothing.
void addImage(QIcon& icon, const QString& name, QIcon::Mode mode) {
    for (const QString& file : {name, name + QStringLiteral("@2x")}) {
        QPixmap pixmap;
        if (pixmap.loadFromData(Bundle::main().resourceData(file, QStringLiteral("png")), "PNG"))
            icon.addPixmap(pixmap, mode);
    }
}

} // namespace

StatusItem::ImageNames StatusItem::imageNames(int32_t channel, bool darkMode) {
    const QString name = channel == 0 ? QStringLiteral("zubpad_off") : QStringLiteral("zubpad");
    if (!darkMode) return {name, QString()};
    QString connected = name;
    connected.remove(QStringLiteral("_off"));
    return {name + QStringLiteral("_dark"), connected + QStringLiteral("_dark")};
}

StatusItem::StatusItem() = default;

StatusItem::~StatusItem() {
    if (trayPoll_) Clock::shared().cancel(*trayPoll_);
    // The tray icon refers to the menu: it goes first.
    trayIcon_.reset();
}

void StatusItem::setupStatusItem(bool darkMode) {
    trayIcon_ = std::make_unique<QSystemTrayIcon>();
    trayIcon_->setToolTip(
        Bundle::main().objectForInfoDictionaryKey(QStringLiteral("CFBundleDisplayName")).toString());
    setImages(imageNames(0, darkMode));
    showWhenTrayAvailable();
}

void StatusItem::showWhenTrayAvailable() {
    trayPoll_.reset();
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        trayIcon_->show();
        return;
    }
    trayPoll_ = mainQueue().after(kTrayPollInterval, [this] { showWhenTrayAvailable(); });
}

bool StatusItem::isShownInTray() const {
    return trayIcon_ && trayIcon_->isVisible();
}

void StatusItem::setupMenu(std::function<MenuState()> state, StatusMenu::Actions actions) {
    statusMenu_ = std::make_unique<StatusMenu>(std::move(state), std::move(actions));
    statusMenu_->setupMenu();
    if (trayIcon_) trayIcon_->setContextMenu(statusMenu_->menu());
}

void StatusItem::setImages(const ImageNames& names) {
    images_ = names;
    if (!trayIcon_) return;
    QIcon icon;
    addImage(icon, names.image, QIcon::Normal);
    if (!names.alternateImage.isEmpty()) addImage(icon, names.alternateImage, QIcon::Selected);
    trayIcon_->setIcon(icon);
}
