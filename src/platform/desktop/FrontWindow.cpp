#include "FrontWindow.h"

#include "DesktopIndex.h"
#include "WindowApps.h"

namespace {

QString fromUtf8(const std::optional<std::string>& text) {
    return text ? QString::fromStdString(*text) : QString();
}

} // namespace

QString windowTitleText(std::string_view utf8) {
    if (utf8.size() > kMaxTitleBytes) {
        std::size_t end = kMaxTitleBytes;
        // Step back over continuation bytes so the cut never splits a character.
        while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80)
            --end;
        utf8 = utf8.substr(0, end);
    }
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

FrontApplication describeWindow(DesktopIndex& index, const WindowIdentity& window,
                                std::string_view title) {
    const WindowApp app = windowApp(index, window);
    FrontApplication front;
    if (app.name)
        front.name = fromUtf8(app.name);
    if (app.identifier)
        front.identifier = fromUtf8(app.identifier);
    front.title = windowTitleText(title);
    front.pid = window.pid;
    return front;
}
