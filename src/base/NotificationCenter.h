#pragma once

#include <QString>
#include <QVariantMap>
#include <functional>
#include <vector>

struct Notification {
    QString name;
    const void* object = nullptr; // the poster, compared by address only
    QVariantMap userInfo;
};

// In-process notifications under the system's own names. Observers run synchronously on the
// posting thread, in the order they were added.
class NotificationCenter {
public:
    using ObserverId = quint64;
    using Handler = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    // `object` nullptr observes the name from any poster.
    ObserverId addObserver(const QString& name, const void* object, Handler handler);
    void removeObserver(ObserverId id);
    void post(const QString& name, const void* object = nullptr, const QVariantMap& userInfo = {});
    size_t observerCount() const { return observers_.size(); }

private:
    struct Entry {
        ObserverId id;
        QString name;
        const void* object;
        Handler handler;
    };
    std::vector<Entry> observers_;
    ObserverId nextId_ = 1;
};
