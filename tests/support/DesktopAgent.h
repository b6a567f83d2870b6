#pragma once

#include "AgentCore.h"
#include "TempEnvironment.h"

#include <QTimer>

// The agent a desktop test watches, sampling `front` and pressing chords by `keys`, with every
// context it reported (what /events streams). Untimed, only the desktop's events bring samples.
struct DesktopAgent {
    explicit DesktopAgent(std::shared_ptr<FrontApplicationSource> front,
                          std::shared_ptr<KeySender> keys = {}, bool timed = true)
        : core([&] {
              CoreServices services = CoreServices::defaults();
              services.frontApplication = std::move(front);
              services.keys = std::move(keys);
              return services;
          }()) {
        core.onContextChange = [this](const AgentContext& context) { seen.push_back(context); };
        core.start();
        if (!timed)
            core.contextTimer->stop();
    }
    // Waits until the last context holds this application, identifier and title (null: any).
    bool shows(const char* app, const char* id = nullptr, const char* title = nullptr,
               std::chrono::milliseconds wait = std::chrono::seconds(5)) {
        const auto is = [](const auto& field, const char* want) {
            return !want || field == QString::fromUtf8(want);
        };
        return waitUntil(
            [&] {
                const AgentContext& now = core.lastContext;
                return is(now.activeApp, app) && is(now.bundleId, id) && is(now.windowTitle, title);
            },
            wait);
    }

    AgentCore core;
    std::vector<AgentContext> seen;
};
