#pragma once

#include "base/Clock.h"
#include "base/Lifetime.h"
#include "shell/BoundedDownload.h"
#include "shell/VersionDocument.h"

#include <QString>
#include <QUrl>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class Alerts;
class CaptureController;
class UserDefaults;

// The version and notice service: reads the version document once per launch, forces or offers this
// program's own update, and at each introduction of a device checks that both sides speak compatible
// protocols, tells the device when its app must or should be updated, passes a notice on once and
// asks for a review. Main thread only, apart from the download, which runs on a thread of its own
// and hands the parsed document back to the main thread.
class VersionChecker {
public:
    struct Parts {
        // The updater's `checkForUpdates:`. Empty: nothing.
        std::function<void()> checkForUpdates;
        // The shell's orderly quit (the device told, the link shut down, status 0).
        std::function<void()> terminate;
    };

    // How large a document may be: a larger one is no document.
    static constexpr qint64 kMaxDocumentSize = BoundedDownload::kMaxSize;
    // The checks for a device introduced before the document came are tried again after these.
    static constexpr double kFirstRetry = 3.0;
    static constexpr double kSecondRetry = 15.0;

    // "ZUBPAD_VERSION_URL" when set (tests and the demo serve their own document), else "VersionURL".
    static QUrl versionURL();

    VersionChecker(UserDefaults& defaults, Alerts& alerts, QUrl url, Parts parts = {});
    // Stops a download under way; its result is then dropped.
    ~VersionChecker();
    VersionChecker(const VersionChecker&) = delete;
    VersionChecker& operator=(const VersionChecker&) = delete;

    void setParts(Parts parts) { parts_ = std::move(parts); }
    void setTerminate(std::function<void()> terminate) { parts_.terminate = std::move(terminate); }
    void setSession(CaptureController* session) { session_ = session; }

    // `checkMinVersion`: starts the download and returns at once; the document's checks run on the
    // main thread when it arrives. Once per launch.
    void startCheckMinVersion();
    // The forced-update alert: "Ok" starts the updater, "Quit" ends the program. From any thread.
    bool forceToUpdate(const QString& informativeText);
    // Whether the two protocol versions are compatible (same major and minor); when not, the side
    // that is too old is told.
    bool checkProtocolVersion(const QString& own, const QString& peer);
    // The device-side checks and the notice, for the device introduced.
    void checkMinProtocol();
    // A compatible device was introduced (1) or the device dropped (0): its checks, now or once the
    // document is there, and the review request.
    void channelChanged(int32_t channel);

    bool checkMinVersionReturned() const { return checkMinVersionReturned_; }
    bool bNotSupportedVersion() const { return bNotSupportedVersion_; }
    const QString& newVersion() const { return newVersion_; }
    const QString& iOSMinVersion() const { return iOSMinVersion_; }
    const QString& iOSCurrentVersion() const { return iOSCurrentVersion_; }
    const QString& iOSRecVersion() const { return iOSRecVersion_; }
    const QString& noticeId() const { return noticeId_; }
    const QString& noticeTarget() const { return noticeTarget_; }
    const QString& noticeMessage() const { return noticeMessage_; }
    const QString& noticeLink() const { return noticeLink_; }

private:
    // The rest of `checkMinVersion`, on the main thread: nothing when no document was read.
    void documentArrived(const std::optional<VersionDocument>& document);
    void loadNotice(const VersionDocument::Notice& notice);
    void checkOwnVersion(const VersionDocument::Versions& osx);
    void sendMessage(const QString& message);
    void cancelRetry();

    UserDefaults& defaults_;
    Alerts& alerts_;
    QUrl url_;
    Parts parts_;
    CaptureController* session_ = nullptr;
    std::unique_ptr<BoundedDownload> download_;
    std::optional<Clock::TimerId> retry_;
    bool quitRequested_ = false;

    QString newVersion_;
    bool bNotSupportedVersion_ = false;
    bool checkMinVersionReturned_ = false;
    QString iOSMinVersion_, iOSCurrentVersion_, iOSRecVersion_;
    QString noticeId_, noticeTarget_, noticeMessage_, noticeLink_;
    QString iOSZubPadMiniMinVersion_, iOSZubPadMiniCurrentVersion_, iOSZubPadMiniRecVersion_;
    Lifetime<VersionChecker> lifetime_{this};
};
