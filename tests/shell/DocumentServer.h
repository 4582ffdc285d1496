#pragma once

#include <QByteArrayList>
#include <QHash>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>
#include <vector>

// A local web server answering each path with the response stored for it (404 without one); while
// `hold` is set, requests wait for release().
class DocumentServer {
public:
    DocumentServer() {
        server_.listen(QHostAddress::LocalHost);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            QTcpSocket* socket = server_.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                if (!socket->peek(socket->bytesAvailable()).contains("\r\n\r\n")) return;
                const QByteArray head = socket->readAll();
                requests << head;
                waiting_.push_back({socket, head.split(' ').value(1)});
                if (!hold) release();
            });
        });
    }
    static QByteArray response(int status, const QByteArray& body, const QByteArray& location = {}) {
        return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nConnection: close\r\nLocation: " + location +
               "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }
    QUrl url(const char* path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()) + path);
    }
    void release() {
        for (auto& [socket, path] : waiting_)
            if (socket)
                socket->write(paths.value(path, response(404, "missing"))), socket->disconnectFromHost();
        waiting_.clear();
    }
    size_t waiting() const { return waiting_.size(); }

    QHash<QByteArray, QByteArray> paths;
    bool hold = false;
    // Each request's head, as received.
    QByteArrayList requests;

private:
    QTcpServer server_;
    std::vector<std::pair<QPointer<QTcpSocket>, QByteArray>> waiting_;
};

// Qt runs HTTP on a thread of its own, whose locks the thread checker cannot see (Qt is not built with
// it): under the checker, documents come from files, which Qt reads on the download's own thread.
#if defined(__SANITIZE_THREAD__)
#define SKIP_WITHOUT_HTTP() GTEST_SKIP() << "Qt's HTTP thread is not visible to the thread checker"
#else
#define SKIP_WITHOUT_HTTP()
#endif
