// vantor-osascript -e TEXT: performs the agent's own script texts on an X11 desktop.
// Prints the result on standard output and exits 0; exits 1 with one line on standard error
// when the text is not one the agent produces or the desktop cannot do it.

#include "DesktopIndex.h"
#include "KeyInjector.h"
#include "ScriptText.h"
#include "SystemAudio.h"
#include "WindowApps.h"
#include "XDisplay.h"

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

namespace {

int fail(const std::string& reason) {
    std::fprintf(stderr, "%s\n", reason.c_str());
    return 1;
}

int printTitle() {
    XDisplay display;
    if (!display.open())
        return fail(display.error());
    // No window manager, no active window or one that just closed: no front window.
    if (const auto window = display.activeWindow())
        if (const auto title = display.title(*window); title && !title->empty())
            std::printf("%s\n", title->c_str());
    return 0;
}

int sendChord(const KeyChord& chord) {
    XDisplay display;
    if (!display.open())
        return fail(display.error());
    try {
        sendKeyChord(display.connection(), chord);
    } catch (const KeyInjectionError& error) {
        return fail(error.what());
    }
    return 0;
}

// The file managers (as the desktop shows them) and the agent itself stay open.
bool keepsRunning(const WindowIdentity& identity, const WindowApp& app) {
    static const std::set<std::string> kKept{
        "org.gnome.nautilus",
        "nautilus",
        "org.kde.dolphin",
        "dolphin",
        "thunar",
        "org.xfce.thunar",
        "nemo",
        "caja",
        "pcmanfm",
        "pcmanfm-qt",
        "vantor-companion",
    };
    for (const std::string& name :
         {app.identifier.value_or(""), identity.wmInstance, identity.wmClass})
        if (kKept.count(asciiLower(name)))
            return true;
    return false;
}

int quitApps() {
    XDisplay display;
    if (!display.open())
        return fail(display.error());
    DesktopIndex index;
    for (const xcb_window_t window : display.clientList()) {
        if (!display.isVisibleNormal(window))
            continue;
        const auto identity = display.identity(window);
        if (!identity || keepsRunning(*identity, windowApp(index, *identity)))
            continue;
        display.requestClose(window);
    }
    if (!display.sync())
        return fail("The X server went away");
    std::printf("asked visible apps to quit\n");
    return 0;
}

int runVerb(script::SystemVerb verb) {
    switch (verb) {
    case script::SystemVerb::QuitApps:
        return quitApps();
    case script::SystemVerb::VolumeUp:
    case script::SystemVerb::VolumeDown:
    case script::SystemVerb::MuteToggle: {
        const std::string problem = runAudioVerb(verb);
        return problem.empty() ? 0 : fail(problem);
    }
    }
    return fail("Unsupported script");
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "-e") != 0)
        return fail("usage: vantor-osascript -e SCRIPT");
    const script::Request request = script::parse(argv[2]);
    if (const auto* refusal = std::get_if<script::Refusal>(&request))
        return fail(refusal->reason);
    if (std::holds_alternative<script::TitleRequest>(request))
        return printTitle();
    if (const auto* keys = std::get_if<script::KeyRequest>(&request))
        return sendChord(keys->chord);
    return runVerb(std::get<script::VerbRequest>(request).verb);
}
