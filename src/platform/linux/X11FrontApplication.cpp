#include "X11FrontApplication.h"

#include "DesktopIndex.h"
#include "WindowApps.h"
#include "XDisplay.h"

namespace {

std::optional<QString> toQString(const std::optional<std::string>& text) {
    if (!text)
        return std::nullopt;
    return QString::fromUtf8(text->data(), static_cast<qsizetype>(text->size()));
}

} // namespace

struct X11FrontApplicationSource::State {
    XDisplay display;
    DesktopIndex index;
};

X11FrontApplicationSource::X11FrontApplicationSource() : m_state(std::make_unique<State>()) {}

X11FrontApplicationSource::~X11FrontApplicationSource() = default;

std::optional<FrontApplication> X11FrontApplicationSource::frontApplication() {
    State& s = *m_state;
    if (!s.display.open())
        return std::nullopt;
    const auto window = s.display.activeWindow();
    if (!window)
        return std::nullopt;
    // Asking again each time costs one round trip and catches a window that has just closed.
    const auto identity = s.display.identity(*window);
    if (!identity)
        return std::nullopt;
    const WindowApp app = windowApp(s.index, *identity);
    return FrontApplication{toQString(app.name), toQString(app.identifier)};
}
