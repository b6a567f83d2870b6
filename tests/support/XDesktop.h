#pragma once

#include "TestDesktop.h"

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// A private X desktop for one test: start_x of tests/e2e/desktop.sh, Xvfb on a display number it
// picks itself and openbox with no key or mouse bindings (its defaults would swallow injected
// chords). DISPLAY points at it while the object lives. Ready once the window manager manages
// windows.
class XDesktop : public TestDesktop {
public:
    XDesktop();
    // Ends the X server (and so every client) at once, as a crash would.
    void killServer();
};

// One window of the test client program: a UTF-8 _NET_WM_NAME (or, with `legacyTitle`, only a
// COMPOUND_TEXT WM_NAME), the given WM_CLASS and its _NET_WM_PID. It logs each non-modifier
// KeyPress as "KEYSYM-HEX STATE" to its log file and exits when asked to close.
class TestWindow : public KeyWitness {
public:
    struct Options {
        std::string title = "Test window";
        std::string instance = "vantor-test-client";
        std::string wmClass = "VantorTestClient";
        bool legacyTitle = false;
        long claimedPid = 0; // written as its _NET_WM_PID instead of its own
    };
    explicit TestWindow(const Options& options);
    TestWindow() : TestWindow(Options{}) {}
    ~TestWindow();

    // Polls until the window manager reports this window as the active one.
    bool waitUntilActive(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // Polls until the program has exited (after a close request); reaps it.
    bool waitUntilExited(std::chrono::milliseconds timeout = std::chrono::seconds(5));
};

// The keycodes the X server currently holds down on the display named by DISPLAY.
std::vector<int> keysDown();
