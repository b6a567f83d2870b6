#pragma once

#include "BrowserTabSource.h"

#include <QHash>
#include <QObject>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

class QLocalServer;
class QLocalSocket;

// What one tab report from our extension says, after its checks. The text in it came from a web
// page: it is only ever shown, never acted on.
struct BrowserReport {
    QString url; // empty when the tab shows no address we pass on (scheme, length, malformed)
    QString title;
    bool focused = false;
    bool incognito = true;
};

// Our extension reports tab addresses up to this long; longer ones are dropped, not cut, since
// a cut address names another page.
inline constexpr int kMaxBrowserUrl = 2048;

// A report's JSON as the host relayed it; nothing when it is not one (bad JSON or UTF-8, a field
// missing or of the wrong type).
std::optional<BrowserReport> parseBrowserReport(std::string_view json);

// Whether a desktop id is one of the browsers our extension supports.
bool isSupportedBrowser(const QString& identifier);

// The latest report of one host, with the browser process that started it.
struct HostReport {
    qint64 browserPid = 0;
    BrowserReport report;
    std::chrono::steady_clock::time_point at;
};

// A report older than this no longer vouches for the window; the agent asks for a fresh one well
// before (kRefreshAfter) while the browser stays in front.
inline constexpr std::chrono::seconds kReportLifetime{10};
inline constexpr std::chrono::seconds kRefreshAfter{3};

// The address for the front window: from a report of the window's own process (where the desktop
// gives pids) that says its window is focused, is recent, not private, and whose tab title begins
// the window title. Several profiles share one browser process: their reports differ in focus and
// title. The newest match wins. Where the desktop gives no pid, nothing ties a report to the
// window, so only a single matching report is believed: two could be a browser and a forger.
std::optional<QString> pickAddress(const std::vector<HostReport>& reports,
                                   const FrontApplication& front,
                                   std::chrono::steady_clock::time_point now);

// Accepts our native messaging hosts on a Unix socket in a private folder under
// $XDG_RUNTIME_DIR, checks each peer (same user, one of our host programs, started by a browser)
// and keeps each host's latest report. A host that answers nothing for a while is dropped, so
// silent connections cannot hold the slots.
class BrowserReports final : public QObject, public BrowserTabSource {
public:
    struct Options {
        QString socketPath;             // empty: none can be made, nothing listens
        QStringList hostPrograms;       // the host executables a peer may be
        QStringList browserExecutables; // the program names a host's parent may have
        std::function<std::chrono::steady_clock::time_point()> now;
        std::chrono::milliseconds silentHostAfter{30000}; // unanswered query: the host goes
        static Options defaults();
    };

    explicit BrowserReports(Options options = Options::defaults());
    ~BrowserReports() override;

    // Starts listening; false (logged) when the folder or socket cannot be made safely.
    bool listen();

    std::optional<QString> address(const FrontApplication& front) override;

    static QString defaultSocketPath();

private:
    struct Host;
    void accept();
    void readHost(Host& host);
    void query(Host& host);
    void logRefusal(const QString& reason);
    void dropHost(QLocalSocket* socket);

    Options m_options;
    QLocalServer* m_server = nullptr;
    std::vector<std::unique_ptr<Host>> m_hosts;
    // Browser pids in front with no host: when first seen, and whether that was logged. A
    // starting browser starts its host a moment later; that is no news.
    QHash<qint64, std::optional<std::chrono::steady_clock::time_point>> m_missingSince;
    // Refusals are logged once a minute at most, with how many were not.
    std::optional<std::chrono::steady_clock::time_point> m_refusalLoggedAt;
    int m_refusalsUnlogged = 0;
};
