#pragma once

#include "TestDesktop.h"

// A private headless sway, labwc or cage for one test: `start_wlroots` of tests/e2e/desktop.sh
// (under root, it and its clients run as nobody). The environment points at it while it lives.
class WlrootsCompositor : public TestDesktop {
public:
    explicit WlrootsCompositor(std::string name) : m_name(std::move(name)) { start(); }
    // Why the script started none here (not installed, too old); empty when it did.
    std::string missing() const { return qgetenv("WLR_MISSING").toStdString(); }
    // Kills the compositor (and so every client) as a crash would, then starts a new one.
    bool restart();
    // As a key binding (sway) or a taskbar (wlrctl: foreign-toplevel) would, for this app_id.
    bool focus(const std::string& appId, bool hide = false) const;
    QString clientDir() const override { return qEnvironmentVariable("WLR_DIR"); }
    pid_t spawnClient(const std::vector<std::string>& argv) const override;

private:
    bool start() { return m_ready = startScript("start_wlroots " + m_name); }
    std::string m_name;
};
