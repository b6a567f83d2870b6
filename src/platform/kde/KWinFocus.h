#pragma once

#include "FrontApplication.h"

#include <chrono>
#include <memory>

class QDBusMessage;

// The front application of a KDE Plasma session. KWin offers no public interface for the
// focused window, so a small KWin script, loaded over D-Bus, calls this object back on every
// activation and caption change. Only calls from KWin's own bus connection that carry the
// secret written into this load of the script are taken, and only once the name's owner was
// found to run KWin's program. The script is loaded again whenever KWin (re)appears on the bus
// or it is found missing (checked every `checkEvery`), and unloaded when this object goes or the
// application quits. Every D-Bus call made here is bounded. Main thread only.
class KWinFocusSource final : public FrontApplicationSource {
public:
    explicit KWinFocusSource(std::chrono::milliseconds checkEvery = std::chrono::seconds(30));
    ~KWinFocusSource() override;

    std::optional<FrontApplication> frontApplication() override;

    // The connection's unique name on the session bus: where the script calls back.
    QString busName() const;
    // Whether our script runs in KWin now.
    bool scriptRunning() const;
    // The secret the running script's calls carry (tests speak as the script with it).
    QString callbackToken() const;

    // The name KWin knows the script by; one copy per session, whichever agent loaded it.
    static constexpr const char* kScriptName = "vantor-companion-focus";

private:
    struct State;
    std::unique_ptr<State> m_state;
};
