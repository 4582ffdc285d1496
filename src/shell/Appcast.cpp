#include "shell/Appcast.h"

#include "shell/VersionDocument.h"

#include <pugixml.hpp>
#include <string>

namespace {

// A feed is one small document; a text longer than this is not a title or a link anybody wrote.
constexpr int kMaxTextLength = 1024;

QString text(const pugi::xml_node& node) {
    return QString::fromUtf8(node.child_value()).trimmed().left(kMaxTextLength);
}

QUrl webPage(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    // Whatever else a feed names (file:, javascript:, a custom handler) is not opened for the user.
    return url.isValid() &&
                   (url.scheme() == QLatin1String("https") || url.scheme() == QLatin1String("http")) &&
                   !url.host().isEmpty()
               ? url
               : QUrl();
}

// The qualified name our namespace's `version` attribute has in this document: the prefix bound to
// the namespace on the root or the channel. Empty when the feed does not use the namespace.
std::string versionAttributeName(const pugi::xml_node& root, const pugi::xml_node& channel) {
    for (const pugi::xml_node& node : {root, channel})
        for (const pugi::xml_attribute& attribute : node.attributes()) {
            const std::string name = attribute.name();
            if (name.rfind("xmlns:", 0) == 0 && std::string(attribute.value()) == Appcast::kNamespace)
                return name.substr(6) + ":version";
        }
    return {};
}

} // namespace

std::optional<AppcastRelease> Appcast::newestRelease(const QByteArray& xml) {
    pugi::xml_document document;
    // pugixml reads no DTD and expands no entity of its own, so a hostile feed cannot grow.
    if (!document.load_buffer(xml.constData(), size_t(xml.size()), pugi::parse_default, pugi::encoding_auto))
        return std::nullopt;
    const pugi::xml_node root = document.child("rss");
    const pugi::xml_node channel = root.child("channel");
    const std::string versionName = versionAttributeName(root, channel);
    if (versionName.empty()) return std::nullopt;

    std::optional<AppcastRelease> newest;
    for (const pugi::xml_node& item : channel.children("item")) {
        const QString version =
            QString::fromUtf8(item.child("enclosure").attribute(versionName.c_str()).value()).trimmed();
        if (!isComparableVersion(version)) continue;
        if (newest && !isVersionGreater(version, newest->version)) continue;
        QUrl page = webPage(text(item.child("link")));
        if (page.isEmpty()) page = webPage(text(channel.child("link")));
        newest = AppcastRelease{version, text(item.child("title")), page};
    }
    return newest;
}
