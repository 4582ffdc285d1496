#include "base/NotificationCenter.h"

#include <algorithm>

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::ObserverId NotificationCenter::addObserver(const QString& name, const void* object,
                                                               Handler handler) {
    const ObserverId id = nextId_++;
    observers_.push_back(Entry{id, name, object, std::move(handler)});
    return id;
}

void NotificationCenter::removeObserver(ObserverId id) {
    std::erase_if(observers_, [id](const Entry& e) { return e.id == id; });
}

void NotificationCenter::post(const QString& name, const void* object, const QVariantMap& userInfo) {
    const Notification note{name, object, userInfo};
    // Handlers may add or remove observers: deliver to a snapshot of the ids, skipping removed ones.
    std::vector<ObserverId> ids;
    for (const Entry& e : observers_)
        if (e.name == name && (!e.object || e.object == object)) ids.push_back(e.id);
    for (ObserverId id : ids) {
        auto it = std::find_if(observers_.begin(), observers_.end(), [id](const Entry& e) { return e.id == id; });
        if (it == observers_.end()) continue;
        Handler handler = it->handler; // the observer may remove itself while running
        handler(note);
    }
}
