#include "DesktopChooser.h"

#include <gtest/gtest.h>

namespace {

TEST(DesktopSession, BackendOrderFollowsTheHints) {
    using B = DesktopBackend;
    const auto s = [](const char* text) { return QString::fromUtf8(text); };
    // clang-format off
    const struct { const char* name; SessionHints hints; std::vector<DesktopBackend> order; } cases[] = {
        {"X11Session", {{}, s("x11"), s("GNOME"), false}, {B::X11}},
        {"Sway", {{}, s("wayland"), s("sway"), true}, {B::Wlroots, B::Kde, B::Gnome, B::X11}},
        {"PlasmaFirst", {{}, s("Wayland"), s("KDE"), true}, {B::Kde, B::Wlroots, B::Gnome, B::X11}},
        {"UbuntuGnome", {{}, {}, s("ubuntu:GNOME"), true}, {B::Gnome, B::Wlroots, B::Kde, B::X11}},
        {"ForcedAlone", {s(" KDE "), s("x11"), {}, false}, {B::Kde}},
        {"UnknownForcedIgnored", {s("mir"), s("x11"), {}, false}, {B::X11}},
    };
    // clang-format on
    for (const auto& c : cases)
        EXPECT_EQ(backendOrder(c.hints), c.order) << c.name;
}

} // namespace
