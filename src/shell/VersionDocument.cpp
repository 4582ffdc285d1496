#include "shell/VersionDocument.h"

#include "display/ZDUtil.h"

#include <QList>
#include <pugixml.hpp>

namespace {

QString stringValue(const pugi::xml_node& node) {
    // The XPath string value: the text of every descendant, not only the first text node.
    static const pugi::xpath_query kString("string(.)");
    return QString::fromStdString(kString.evaluate_string(pugi::xpath_node(node)));
}

// The string value of child `name` of `node`; null when there is no such child.
QString childValue(const pugi::xml_node& node, const char* name) {
    const pugi::xml_node child = node.child(name);
    return child ? stringValue(child) : QString();
}

pugi::xml_node firstMatch(const pugi::xml_document& document, const char* xpath) {
    return document.select_node(xpath).node();
}

VersionDocument::Versions versionsOf(const pugi::xml_node& node) {
    if (!node) return {};
    return {childValue(node, "currentVersion"), childValue(node, "minVersion"),
            childValue(node, "recVersion")};
}

} // namespace

std::optional<VersionDocument> VersionDocument::parse(const QByteArray& xml) {
    pugi::xml_document document;
    // pugixml reads no DTD and expands no entity of its own, so a hostile document cannot grow.
    if (!document.load_buffer(xml.constData(), size_t(xml.size()), pugi::parse_default, pugi::encoding_auto))
        return std::nullopt;
    VersionDocument parsed;
    parsed.iOS = versionsOf(firstMatch(document, "//iOS"));
    parsed.OSX = versionsOf(firstMatch(document, "//OSX"));
    parsed.iOSZubPadMini = versionsOf(firstMatch(document, "//iOSZubPadMini"));
    if (const pugi::xml_node review = firstMatch(document, "//askReview"))
        parsed.askReview = AskReview{childValue(review, "afterDays"), childValue(review, "maxTimes")};
    if (const pugi::xml_node notice = firstMatch(document, "//Notice"))
        parsed.notice = Notice{childValue(notice, "noticeId"), childValue(notice, "target"),
                               childValue(notice, "message"), childValue(notice, "link")};
    return parsed;
}

bool isComparableVersion(const QString& version) {
    if (version.isEmpty()) return false;
    for (QStringView part : QStringView(version).split(u'.')) {
        if (part.isEmpty() || part.size() > 9) return false;
        for (QChar c : part)
            if (c < u'0' || c > u'9') return false;
    }
    return true;
}

bool isVersionGreater(const QString& a, const QString& b) {
    return isComparableVersion(a) && isComparableVersion(b) && ZDUtil::compareVersion(a, b) > 0;
}
