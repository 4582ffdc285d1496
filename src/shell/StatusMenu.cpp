#include "shell/StatusMenu.h"

#include "base/Bundle.h"
#include "input/PencilInput.h"
#include "shell/Localization.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPalette>
#include <QWidgetAction>

#include <algorithm>

namespace {

QString infoString(const char* key) {
    return Bundle::main().objectForInfoDictionaryKey(QString::fromLatin1(key)).toString();
}

QString displayName() {
    return infoString("CFBundleDisplayName");
}

QString nameAndVersion() {
    return QStringLiteral("%1 %2").arg(displayName(), infoString("CFBundleShortVersionString"));
}

// QMenu reads '&' as a mnemonic marker.
QString menuTitle(const QString& text) {
    QString title = text;
    return title.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QString titleOf(const QAction* action) {
    QString title = action->text();
    return title.replace(QStringLiteral("&&"), QStringLiteral("&"));
}

bool dropped(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Other_Control:   // C0, C1, DEL
    case QChar::Other_Format:    // bidirectional marks and overrides, zero-width characters
    case QChar::Other_Surrogate: // half of a pair that is not there
        return true;
    default:
        return false;
    }
}

constexpr int kFrameRates[] = {30, 60};

} // namespace

StatusMenu::StatusMenu(std::function<MenuState()> state, Actions actions)
    : state_(std::move(state)), actions_(std::move(actions)) {}

StatusMenu::~StatusMenu() = default;

QAction* StatusMenu::statusLineItem() const {
    return statusLine_;
}

QAction* StatusMenu::addAction(QMenu* menu, const QString& title, const std::function<void()>& action) {
    QAction* item = menu->addAction(menuTitle(title));
    if (action) connect(item, &QAction::triggered, this, [action] { action(); });
    return item;
}

void StatusMenu::setupMenu() {
    menu_ = std::make_unique<QMenu>();

    // QMenu items hold one line; the status line needs two or three, with room between them.
    statusLine_ = new QWidgetAction(menu_.get());
    statusLabel_ = new QLabel(menu_.get());
    statusLabel_->setTextFormat(Qt::RichText);
    statusLabel_->setContentsMargins(12, 4, 12, 4);
    statusLine_->setDefaultWidget(statusLabel_);
    statusLine_->setEnabled(false);
    menu_->addAction(statusLine_);
    setStatusLine({nameAndVersion()}, 4);

    pressureHelp_ = addAction(menu_.get(), localizedString(QStringLiteral("How to enable pressure...")),
                              actions_.howToEnablePressure);
    pressureHelp_->setVisible(false);
    menu_->addSeparator();

    auto* preferences = new QMenu(localizedString(QStringLiteral("Preferences")), menu_.get());
    preferences_ = menu_->addMenu(preferences);
    QAction* stylus = addAction(
        preferences, localizedString(QStringLiteral("Setup Stylus on %@")).arg(QStringLiteral("iPad")),
        actions_.setupStylus);
    stylus->setEnabled(false);
    for (const auto& [key, action] : {std::pair{QStringLiteral("LaunchAtLogin"), actions_.launchAtLogin},
                                      std::pair{QStringLiteral("AutoUpdateApp"), actions_.autoUpdateApp}}) {
        QAction* item = addAction(preferences, localizedString(key), action);
        item->setCheckable(true);
        item->setEnabled(bool(action));
    }
    connect(preferences, &QMenu::aboutToShow, this, [this] { menuWillHighlightItem(preferences_); });
    menu_->addSeparator();

    if (actions_.checkForUpdates)
        checkForUpdate_ = addAction(menu_.get(), localizedString(QStringLiteral("CheckForUpdate...")),
                                    actions_.checkForUpdates);
    if (actions_.aboutTheApp)
        addAction(menu_.get(), localizedString(QStringLiteral("AboutOSXApp")).arg(displayName()),
                  actions_.aboutTheApp);
    if (actions_.uninstall)
        addAction(menu_.get(), localizedString(QStringLiteral("Uninstall")), actions_.uninstall);
    menu_->addSeparator();
    quit_ = addAction(menu_.get(), localizedString(QStringLiteral("Quit")), actions_.quit);

    connect(menu_.get(), &QMenu::aboutToShow, this, [this] { menuWillOpen(); });
    connect(menu_.get(), &QMenu::aboutToHide, this, [this] { menuDidClose(); });
    connect(menu_.get(), &QMenu::hovered, this, [this](QAction* item) { menuWillHighlightItem(item); });
}

void StatusMenu::setStatusLine(const QStringList& lines, int spacing) {
    statusLines_ = lines;
    statusLineSpacing_ = spacing;
    // A line of information, not a command: the item takes no clicks, yet its text reads as plainly as
    // the items' (a disabled item's colour would grey it).
    QString html = QStringLiteral("<div style=\"color:%1\">")
                       .arg(statusLabel_->palette().color(QPalette::Active, QPalette::WindowText).name());
    for (qsizetype i = 0; i < lines.size(); ++i)
        html += QStringLiteral("<p style=\"margin-top:0px; margin-bottom:%1px\">%2</p>")
                    .arg(i + 1 < lines.size() ? spacing : 0)
                    .arg(lines[i].toHtmlEscaped());
    html += QStringLiteral("</div>");
    statusLabel_->setText(html);
    statusLine_->setText(lines.join(QLatin1Char('\n')));
}

void StatusMenu::menuWillOpen() {
    bMenuOpen_ = true;
    updateMenu(false);
    if (actions_.menuWillOpen) actions_.menuWillOpen();
}

void StatusMenu::menuDidClose() {
    bMenuOpen_ = false;
}

QStringList StatusMenu::statusLineText(const MenuState& state) {
    if (state.bNotSupportedVersion) {
        QStringList lines{displayName()};
        if (!state.pressureAvailable) lines << localizedString(QStringLiteral("PressureAndTiltOff"));
        return lines;
    }
    QStringList lines{nameAndVersion()};
    if (state.bUSBConnected) {
        QString name = menuSafeText(state.deviceInfo.value(QStringLiteral("name")).toString());
        // A device that gives no usable name is still shown as what it is.
        if (name.isEmpty())
            name = deviceWord(state.deviceInfo.value(QStringLiteral("hardwareString")).toString());
        lines += (QLatin1Char('\'') + name + getLocationString(state.stylus)).split(QLatin1Char('\n'));
    } else if (state.bUSBAttached) {
        lines << QStringLiteral("(%1)").arg(localizedString(QStringLiteral("WaitForConnection")));
    } else {
        // Without the daemon no device can ever show up: say so instead of "unplugged".
        lines << QStringLiteral("(%1)").arg(localizedString(state.usbmuxdRunning
                                                                ? QStringLiteral("USBUnplugged")
                                                                : QStringLiteral("usbmuxd is not running")));
    }
    if (!state.pressureAvailable) lines << localizedString(QStringLiteral("PressureAndTiltOff"));
    return lines;
}

QString StatusMenu::getLocationString(const StylusInfo& stylus) {
    const QString connected = localizedString(QStringLiteral("is connected"));
    if (stylus.status == 0) return QStringLiteral("' %1").arg(connected);
    QString name = menuSafeText(stylus.name);
    if (name.isEmpty()) name = localizedString(QStringLiteral("Stylus"));
    if (stylus.batteryLevel == 0)
        return QStringLiteral("' %1\n%2 %3")
            .arg(connected, name, localizedString(QStringLiteral("is paired")));
    // The level is the device's word; a percentage is all it can mean.
    const qint64 level = std::clamp<qint64>(stylus.batteryLevel, 0, 100);
    return QStringLiteral("' %1\n%2 (%3: %4%)")
        .arg(connected, name, localizedString(QStringLiteral("Battery")), QString::number(level));
}

QString StatusMenu::deviceWord(const QString& hardwareString) {
    if (hardwareString.startsWith(u"iPhone")) return QStringLiteral("iPhone");
    if (hardwareString.startsWith(u"iPod")) return QStringLiteral("iPod");
    return QStringLiteral("iPad");
}

bool StatusMenu::hasPencilSupport(const MenuState& state) {
    const QVariant reported = state.deviceInfo.value(QStringLiteral("supportApplePencil"));
    if (reported.isValid()) return reported.toBool();
    const QString hardware = state.deviceInfo.value(QStringLiteral("hardwareString")).toString();
    if (deviceWord(hardware) != u"iPad") return false;
    return state.stylus.name == u"Apple Pencil" || PencilInput::supportApplePencil(hardware);
}

QString StatusMenu::menuSafeText(const QString& text, int maxLength) {
    QString out;
    int count = 0;
    bool space = false;
    bool cut = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        if (QChar::isSpace(c)) {
            space = !out.isEmpty();
            continue;
        }
        if (dropped(c)) continue;
        if (count + (space ? 2 : 1) > maxLength) {
            cut = true;
            break;
        }
        if (space) {
            out += QLatin1Char(' ');
            ++count;
            space = false;
        }
        out += QString::fromUcs4(&c, 1);
        ++count;
    }
    if (cut) out += QChar(0x2026);
    return out;
}

void StatusMenu::updateMenu(bool /*framebufferActive*/) {
    if (!bMenuOpen_ || !menu_) return;
    const MenuState state = state_();

    setStatusLine(statusLineText(state), state.stylus.status != 0 ? 5 : 4);
    pressureHelp_->setVisible(!state.pressureAvailable && actions_.howToEnablePressure);
    // The version service learns of a newer version after the menu was built.
    if (checkForUpdate_)
        checkForUpdate_->setText(
            menuTitle(localizedString(state.newVersion.isEmpty() ? QStringLiteral("CheckForUpdate...")
                                                                 : QStringLiteral("CheckForUpdate..!"))));

    const QStringList dynamicTitles{localizedString(QStringLiteral("Resolution")),
                                    localizedString(QStringLiteral("FrameRate")),
                                    localizedString(QStringLiteral("DisplayArrangement"))};
    for (QAction* item : menu_->actions()) {
        const QString title = titleOf(item);
        if (std::none_of(dynamicTitles.begin(), dynamicTitles.end(),
                         [&](const QString& prefix) { return title.startsWith(prefix); }))
            continue;
        menu_->removeAction(item);
        if (QMenu* submenu = item->menu()) submenu->deleteLater();
    }

    // Extended mode offers no resolutions: a display of the device's own is not there to size.
    if (!state.connected || !state.mirrorMode) return;

    auto* resolution = new QMenu(menuTitle(dynamicTitles[0]), menu_.get());
    for (const auto& [entry, itemState] : state.resolutions) {
        const int32_t tag = entry.tag;
        QAction* item = resolution->addAction(menuTitle(entry.label));
        item->setData(tag);
        item->setCheckable(true);
        item->setEnabled(entry.enabled);
        if (entry.enabled && actions_.changeResolutionSelected)
            connect(item, &QAction::triggered, this, [this, tag] { actions_.changeResolutionSelected(tag); });
    }
    resolution->addSeparator();
    addAction(resolution, localizedString(QStringLiteral("DisplaySettings...")),
              actions_.launchDisplaySettings)
        ->setEnabled(bool(actions_.launchDisplaySettings));
    connect(resolution, &QMenu::aboutToShow, this,
            [this, resolution] { menuWillHighlightItem(resolution->menuAction()); });

    auto* frameRate = new QMenu(menuTitle(dynamicTitles[1]), menu_.get());
    for (int fps : kFrameRates) {
        QAction* item = frameRate->addAction(localizedString(QStringLiteral("%1FPS").arg(fps)));
        item->setData(fps);
        item->setCheckable(true);
        if (actions_.setFrameRate)
            connect(item, &QAction::triggered, this, [this, fps] { actions_.setFrameRate(fps); });
    }
    connect(frameRate, &QMenu::aboutToShow, this,
            [this, frameRate] { menuWillHighlightItem(frameRate->menuAction()); });

    menu_->insertMenu(preferences_, resolution);
    menu_->insertMenu(preferences_, frameRate);
    refreshResolution(resolution, state);
    refreshFrameRate(frameRate, state);
}

void StatusMenu::menuWillHighlightItem(QAction* item) {
    if (!item || !item->menu()) return;
    const QString title = titleOf(item);
    if (item == preferences_) {
        refreshPreferences(state_());
    } else if (title == localizedString(QStringLiteral("Resolution"))) {
        refreshResolution(item->menu(), state_());
    } else if (title == localizedString(QStringLiteral("FrameRate"))) {
        refreshFrameRate(item->menu(), state_());
    }
}

void StatusMenu::refreshResolution(QMenu* submenu, const MenuState& state) {
    for (QAction* item : submenu->actions()) {
        if (item->isSeparator() || !item->data().isValid()) continue;
        const auto found =
            std::find_if(state.resolutions.begin(), state.resolutions.end(), [&](const auto& row) {
                return row.first.tag == item->data().toInt() && row.first.label == titleOf(item);
            });
        const ResolutionItemState itemState =
            found != state.resolutions.end() ? found->second : ResolutionItemState{};
        item->setChecked(itemState.on);
        // A menu item's text colour is the style's; a heavy choice is set apart by its face instead.
        QFont font = item->font();
        font.setItalic(itemState.heavy);
        item->setFont(font);
        item->setToolTip(itemState.heavy ? localizedString(QStringLiteral("HeavyResolution")) : QString());
    }
}

void StatusMenu::refreshFrameRate(QMenu* submenu, const MenuState& state) {
    for (QAction* item : submenu->actions())
        item->setChecked(item->data().toInt() == int(state.videoCaptureFPS));
}

void StatusMenu::addOrUpdateMenuItem(QMenu* menu, const QString& title, const std::function<void()>& action,
                                     bool state, bool enabled) {
    QAction* item = nullptr;
    for (QAction* candidate : menu->actions())
        if (titleOf(candidate) == title) item = candidate;
    if (!item) {
        item = addAction(menu, title, action);
        item->setCheckable(true);
    }
    item->setChecked(state);
    item->setEnabled(enabled && action);
}

void StatusMenu::refreshPreferences(const MenuState& state) {
    QMenu* preferences = preferences_->menu();
    addOrUpdateMenuItem(preferences, localizedString(QStringLiteral("UseSystemMouseCursor")),
                        actions_.useSystemCursor, state.useSystemCursor, state.systemCursorSupported);
    if (state.touchBarSupported)
        addOrUpdateMenuItem(preferences, localizedString(QStringLiteral("Enable Touch Bar")),
                            actions_.enableTouchBar, state.enableTouchBar, true);
    const QString stylusPrefix =
        localizedString(QStringLiteral("Setup Stylus on %@")).section(QStringLiteral("%1"), 0, 0);
    for (QAction* item : preferences->actions()) {
        const QString title = titleOf(item);
        if (title == localizedString(QStringLiteral("LaunchAtLogin"))) {
            item->setChecked(state.launchAtLogin);
        } else if (title == localizedString(QStringLiteral("AutoUpdateApp"))) {
            item->setChecked(state.autoUpdateApp);
        } else if (title.startsWith(stylusPrefix)) {
            const QString word =
                deviceWord(state.deviceInfo.value(QStringLiteral("hardwareString")).toString());
            item->setText(menuTitle(localizedString(QStringLiteral("Setup Stylus on %@")).arg(word)));
            item->setEnabled(state.connected && !hasPencilSupport(state) && actions_.setupStylus);
        }
    }
}
