#include "shell/BoundedDownload.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

BoundedDownload::BoundedDownload(QUrl url, QString userAgent, Done done)
    : url_(std::move(url)), userAgent_(std::move(userAgent)), done_(std::move(done)) {}

BoundedDownload::~BoundedDownload() {
    requestInterruption();
    quit();
    wait();
}

void BoundedDownload::run() {
    QNetworkAccessManager manager;
    QNetworkRequest request(url_);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaxRedirects);
    request.setTransferTimeout(kTimeoutMs);
    if (!userAgent_.isEmpty()) request.setHeader(QNetworkRequest::UserAgentHeader, userAgent_);
    QNetworkReply* reply = manager.get(request);
    bool tooLarge = false;
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [&](qint64 received, qint64 total) {
        if (received > kMaxSize || total > kMaxSize) {
            tooLarge = true;
            reply->abort();
        }
    });
    // The transfer timeout only sees a silent server; one that trickles is stopped here.
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline.start(kTimeoutMs);
    QObject::connect(reply, &QNetworkReply::finished, reply, [this] { exit(); });
    exec();
    if (isInterruptionRequested()) return;

    Result result;
    if (reply->error() != QNetworkReply::NoError || tooLarge) {
        result.error = tooLarge ? QStringLiteral("larger than 1 MiB") : reply->errorString();
    } else {
        QByteArray body = reply->read(kMaxSize + 1);
        if (body.size() <= kMaxSize)
            result.body = std::move(body);
        else
            result.error = QStringLiteral("larger than 1 MiB");
    }
    done_(std::move(result));
}
