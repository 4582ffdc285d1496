#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <optional>

// Our update feed: an RSS 2.0 channel whose items each announce one release. The release's version is
// the `version` attribute, in our own namespace, of the item's enclosure:
//
//   <rss version="2.0" xmlns:zubpad="https://zubpad.app/xml/appcast">
//     <channel><link>https://zubpad.app/</link>
//       <item><title>Zub Pad 1.2.0</title><link>https://zubpad.app/releases/1.2.0</link>
//         <enclosure url="https://zubpad.app/zubpad_1.2.0_amd64.deb" zubpad:version="1.2.0"/></item>
//     </channel>
//   </rss>
//
// The prefix is whatever the feed binds to that namespace. Nothing is downloaded from the enclosure:
// on Linux the package manager installs, so only the release's page is offered.
struct AppcastRelease {
    QString version;
    QString title;
    // The item's link, else the channel's; only http or https, else empty.
    QUrl releasePage;
};

namespace Appcast {
inline constexpr const char* kNamespace = "https://zubpad.app/xml/appcast";

// The release with the greatest comparable version in the feed; nothing when the bytes are not XML
// or no item carries a comparable version.
std::optional<AppcastRelease> newestRelease(const QByteArray& xml);
} // namespace Appcast
