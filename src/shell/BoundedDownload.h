#pragma once

#include <QByteArray>
#include <QString>
#include <QThread>
#include <QUrl>
#include <functional>
#include <optional>

// One small document read on a thread of its own with its own event loop, so that neither a slow
// server nor a large body holds up the main thread: the whole download gives up after kTimeoutMs,
// follows at most kMaxRedirects redirects (never from https to http) and refuses a body larger than
// kMaxSize. Any http:, https: or file: URL.
class BoundedDownload final : public QThread {
public:
    static constexpr int kTimeoutMs = 10000;
    static constexpr int kMaxRedirects = 5;
    static constexpr qint64 kMaxSize = 1 << 20;

    struct Result {
        // The body; nothing when the download failed.
        std::optional<QByteArray> body;
        // Why there is no body, for the log.
        QString error;
    };
    // Runs on the download's thread; not at all when the download is stopped.
    using Done = std::function<void(Result)>;

    BoundedDownload(QUrl url, QString userAgent, Done done);
    // Stops a download under way; its result is then dropped.
    ~BoundedDownload() override;

protected:
    void run() override;

private:
    QUrl url_;
    QString userAgent_;
    Done done_;
};
