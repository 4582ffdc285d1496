#include "shell/VersionChecker.h"

#include "base/Bundle.h"
#include "base/Logging.h"
#include "base/MainQueue.h"
#include "base/UserDefaults.h"
#include "display/ZDUtil.h"
#include "platform/Alerts.h"
#include "session/CaptureController.h"
#include "shell/BoundedDownload.h"
#include "shell/Localization.h"
#include "shell/Settings.h"

#include <mutex>

namespace {

QString infoString(const char* key) {
    return Bundle::main().objectForInfoDictionaryKey(QString::fromLatin1(key)).toString();
}

QString displayName() {
    return infoString("CFBundleDisplayName");
}

} // namespace

QUrl VersionChecker::versionURL() {
    const QString override = qEnvironmentVariable("ZUBPAD_VERSION_URL");
    return QUrl(override.isEmpty() ? infoString("VersionURL") : override);
}

VersionChecker::VersionChecker(UserDefaults& defaults, Alerts& alerts, QUrl url, Parts parts)
    : defaults_(defaults), alerts_(alerts), url_(std::move(url)), parts_(std::move(parts)) {}

VersionChecker::~VersionChecker() {
    cancelRetry();
    download_.reset();
}

void VersionChecker::startCheckMinVersion() {
    checkMinVersionReturned_ = false;
    // The document crosses to the main thread under a standard mutex, so that thread checkers see the
    // order; the block is posted under it too, as the main thread frees what the post allocated.
    struct Handoff {
        std::mutex mutex;
        std::optional<VersionDocument> document;
    };
    auto handoff = std::make_shared<Handoff>();
    auto arrived = [self = lifetime_.guard(), handoff](std::optional<VersionDocument> document) {
        std::lock_guard lock(handoff->mutex);
        handoff->document = std::move(document);
        mainQueue().async([self, handoff] {
            std::optional<VersionDocument> received;
            {
                std::lock_guard lock(handoff->mutex);
                received = std::move(handoff->document);
            }
            if (self) self->documentArrived(received);
        });
    };
    if (!url_.isValid() || url_.isEmpty()) {
        arrived(std::nullopt);
        return;
    }
    // Read on the download's thread too, so that a large document does not hold up the main thread.
    download_ = std::make_unique<BoundedDownload>(
        url_, QString(), [url = url_, arrived = std::move(arrived)](BoundedDownload::Result result) {
            std::optional<VersionDocument> document;
            if (result.body) document = VersionDocument::parse(*result.body);
            if (!result.body)
                qCInfo(lcShell).noquote()
                    << "no version document from" << url.toDisplayString() << "-" << result.error;
            else if (!document)
                qCInfo(lcShell).noquote()
                    << "the version document at" << url.toDisplayString() << "is not a readable XML document";
            arrived(std::move(document));
        });
    download_->start();
}

void VersionChecker::documentArrived(const std::optional<VersionDocument>& document) {
    checkMinVersionReturned_ = true;
    if (!document) return;
    iOSMinVersion_ = document->iOS.minVersion;
    iOSCurrentVersion_ = document->iOS.currentVersion;
    iOSRecVersion_ = document->iOS.recVersion;
    iOSZubPadMiniMinVersion_ = document->iOSZubPadMini.minVersion;
    iOSZubPadMiniCurrentVersion_ = document->iOSZubPadMini.currentVersion;
    iOSZubPadMiniRecVersion_ = document->iOSZubPadMini.recVersion;
    // A request without both numbers would reach the device as a broken one.
    if (document->askReview && !document->askReview->afterDays.isEmpty() &&
        !document->askReview->maxTimes.isEmpty()) {
        defaults_.setObject(
            QStringLiteral("%1:%2").arg(document->askReview->afterDays, document->askReview->maxTimes),
            DefaultsKey::askReview);
        defaults_.synchronize();
    }
    if (document->notice) loadNotice(*document->notice);
    bNotSupportedVersion_ = false;
    checkOwnVersion(document->OSX);
}

void VersionChecker::loadNotice(const VersionDocument::Notice& notice) {
    noticeId_ = notice.noticeId;
    bool isNumber = false;
    const qint64 id = notice.noticeId.trimmed().toLongLong(&isNumber);
    // A notice whose ID is no number could not be remembered as passed on: it is not loaded.
    if (!isNumber || id <= defaults_.integerForKey(DefaultsKey::lastNoticeId)) return;
    noticeTarget_ = notice.target;
    noticeMessage_ = notice.message;
    noticeLink_ = notice.link;
}

void VersionChecker::checkOwnVersion(const VersionDocument::Versions& osx) {
    const QString running = infoString("CFBundleShortVersionString");
    const QString name = displayName();
    if (isVersionGreater(osx.minVersion, running)) {
        forceToUpdate(localizedString(QStringLiteral("ForceUpdateOSXApp")).arg(name));
        // Quitting: nothing more to offer.
        if (quitRequested_) return;
    }
    if (isVersionGreater(osx.recVersion, running)) {
        Alert alert;
        alert.style = Alert::Style::Warning;
        alert.messageText = localizedString(QStringLiteral("OSXAppUpdate")).arg(name);
        alert.informativeText =
            localizedString(QStringLiteral("OSXAppUpdateExist")).arg(name, osx.currentVersion);
        alert.buttons = {localizedString(QStringLiteral("Ok")), localizedString(QStringLiteral("NotNow"))};
        if (alerts_.runModal(alert) == Alerts::kFirstButtonReturn && parts_.checkForUpdates)
            parts_.checkForUpdates();
    }
    // The menu retitles its update item from this when it next opens.
    newVersion_ = isVersionGreater(osx.currentVersion, running) ? osx.currentVersion : QString();
}

bool VersionChecker::forceToUpdate(const QString& informativeText) {
    if (!mainQueue().isCurrent()) {
        bool result = false;
        mainQueue().sync([&] { result = forceToUpdate(informativeText); });
        return result;
    }
    Alert alert;
    alert.style = Alert::Style::Warning;
    alert.messageText = localizedString(QStringLiteral("OSXAppUpdate")).arg(displayName());
    alert.informativeText = informativeText;
    alert.buttons = {localizedString(QStringLiteral("Ok")), localizedString(QStringLiteral("Quit"))};
    bNotSupportedVersion_ = true;
    if (alerts_.runModal(alert) != Alerts::kFirstButtonReturn) {
        quitRequested_ = true;
        if (parts_.terminate) parts_.terminate();
        return false;
    }
    if (parts_.checkForUpdates) parts_.checkForUpdates();
    return false;
}

bool VersionChecker::checkProtocolVersion(const QString& own, const QString& peer) {
    int32_t ownMajor = 0, ownMinor = 0, ownPatch = 0, peerMajor = 0, peerMinor = 0, peerPatch = 0;
    ZDUtil::parseVersionString(own, &ownMajor, &ownMinor, &ownPatch);
    ZDUtil::parseVersionString(peer, &peerMajor, &peerMinor, &peerPatch);
    if (ownMajor == peerMajor && ownMinor == peerMinor) return true;
    if (ZDUtil::compareVersion(own, peer) <= 0) {
        // This program is too old. The alert waits for the user in a loop of its own: not from inside
        // the link's frame delivery, which called us and must not run again beneath itself.
        mainQueue().async([self = lifetime_.guard()] {
            if (self)
                self->forceToUpdate(
                    localizedString(QStringLiteral("ForceUpdateProtocolOSXApp")).arg(displayName()));
        });
    } else {
        sendMessage(QStringLiteral("forceUpdate:%1").arg(iOSCurrentVersion_));
    }
    return false;
}

void VersionChecker::checkMinProtocol() {
    if (!session_) return;
    const QVariantMap info = session_->peerDeviceInfo();
    const QString softwareString = info.value(QStringLiteral("softwareString")).toString();
    const QString softwareVersion = info.value(QStringLiteral("softwareVersion")).toString();
    const bool mini = softwareString.startsWith(QStringLiteral("Zub Pad Mini"));
    const QString& minVersion = mini ? iOSZubPadMiniMinVersion_ : iOSMinVersion_;
    const QString& recVersion = mini ? iOSZubPadMiniRecVersion_ : iOSRecVersion_;
    const QString& currentVersion = mini ? iOSZubPadMiniCurrentVersion_ : iOSCurrentVersion_;
    if (isVersionGreater(minVersion, softwareVersion)) {
        sendMessage(QStringLiteral("forceUpdate:%1").arg(currentVersion));
        return;
    }
    if (isVersionGreater(recVersion, softwareVersion))
        sendMessage(QStringLiteral("alertUpdate:%1").arg(currentVersion));

    if (noticeMessage_.isEmpty() || !softwareString.startsWith(displayName())) return;
    if (noticeTarget_ != QStringLiteral("11") && noticeTarget_ != QStringLiteral("01")) return;
    // Once per notice: a device introduced again in this run has had it already.
    const qint64 id = noticeId_.trimmed().toLongLong();
    if (id <= defaults_.integerForKey(DefaultsKey::lastNoticeId)) return;
    sendMessage(noticeLink_.isEmpty()
                    ? QStringLiteral("notice[%1]:%2").arg(noticeId_, noticeMessage_)
                    : QStringLiteral("notice[%1]:%2|%3").arg(noticeId_, noticeMessage_, noticeLink_));
    defaults_.setInteger(id, DefaultsKey::lastNoticeId);
    defaults_.synchronize();
}

void VersionChecker::channelChanged(int32_t channel) {
    // Retries still pending belong to the device that went or came before.
    cancelRetry();
    if (channel == 0) return;
    if (!iOSMinVersion_.isNull()) {
        checkMinProtocol();
    } else if (!checkMinVersionReturned_) {
        retry_ = mainQueue().after(kFirstRetry, [this] {
            retry_.reset();
            if (!iOSMinVersion_.isNull()) {
                checkMinProtocol();
            } else if (!checkMinVersionReturned_) {
                retry_ = mainQueue().after(kSecondRetry, [this] {
                    retry_.reset();
                    if (!iOSMinVersion_.isNull()) checkMinProtocol();
                });
            }
        });
    }
    const QString askReview = defaults_.stringForKey(DefaultsKey::askReview);
    if (session_ && session_->checkPeerProtocolVersion(QStringLiteral("1.0.7")) && !askReview.isEmpty())
        sendMessage(QStringLiteral("askReview:%1").arg(askReview));
}

void VersionChecker::sendMessage(const QString& message) {
    if (session_) session_->sendMessage(message, PeerMessage::kChannelCurrent);
}

void VersionChecker::cancelRetry() {
    if (retry_) Clock::shared().cancel(*retry_);
    retry_.reset();
}
