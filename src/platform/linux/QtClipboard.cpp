#include "platform/linux/QtClipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <utility>

namespace {

// The text on offer; it tells when a program first reads it. The toolkit reads it only to answer
// another program's request (this program never reads its own clipboard).
class TextOffer final : public QMimeData {
public:
    TextOffer(const QString& text, std::function<void()> taken) : taken_(std::move(taken)) { setText(text); }

protected:
    QVariant retrieveData(const QString& mimeType, QMetaType type) const override {
        if (taken_) std::exchange(taken_, nullptr)();
        return QMimeData::retrieveData(mimeType, type);
    }

private:
    mutable std::function<void()> taken_;
};

} // namespace

bool QtClipboard::setText(const QString& text, std::function<void()> taken) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) return false;
    clipboard->setMimeData(new TextOffer(text, std::move(taken)), QClipboard::Clipboard);
    // The window system may have refused us the selection.
    return clipboard->ownsClipboard();
}
