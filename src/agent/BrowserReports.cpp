#include "BrowserReports.h"

#include "FrontApplication.h"
#include "HelperPrograms.h"
#include "Log.h"
#include "NativeFraming.h"
#include "ProcessInfo.h"
#include "Text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QUrl>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kHostProgramName[] = "vantor-browser-host";
constexpr int kMaxHosts = 32; // one per browser profile; more is someone else's flood
constexpr int kMaxTitle = 8192;
constexpr std::chrono::seconds kRefusalLogEvery{60};
constexpr std::chrono::seconds kHostStartGrace{10};
constexpr char kQueryFrame[] = R"({"type":"query"})";

QString withoutControls(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text)
        if (c.category() != QChar::Other_Control)
            out.append(c);
    return out;
}

// Only web pages: a file: address names the user's own files and would travel to the cloud, and
// the browsers' internal pages (chrome:, about:, extension pages) are no page an action can use.
// Both browsers dropped ftp: years ago. User name and password never leave the computer.
QString checkedUrl(const QString& reported) {
    const QString text = withoutControls(reported).trimmed();
    if (text.size() > kMaxBrowserUrl)
        return {};
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() ||
        (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http")))
        return {};
    const QString out = url.toString(QUrl::RemoveUserInfo | QUrl::FullyEncoded);
    return out.size() <= kMaxBrowserUrl ? out : QString();
}

} // namespace

std::optional<BrowserReport> parseBrowserReport(std::string_view json) {
    const QByteArray bytes(json.data(), static_cast<qsizetype>(json.size()));
    if (!isValidUtf8(bytes))
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    if (object.value(QLatin1String("type")).toString() != QLatin1String("tab") ||
        !object.value(QLatin1String("focused")).isBool() ||
        !object.value(QLatin1String("incognito")).isBool())
        return std::nullopt;
    BrowserReport report;
    report.focused = object.value(QLatin1String("focused")).toBool();
    report.incognito = object.value(QLatin1String("incognito")).toBool();
    report.url = checkedUrl(object.value(QLatin1String("url")).toString());
    report.title = withoutControls(object.value(QLatin1String("title")).toString());
    if (report.title.size() > kMaxTitle)
        report.title.clear(); // a window title is cut shorter: this one cannot vouch for it
    return report;
}

bool isSupportedBrowser(const QString& identifier) {
    // Debian and Ubuntu packages, the vendors' own packages, and the Flatpak ids.
    static const QSet<QString> ids = {
        QStringLiteral("chromium"),
        QStringLiteral("chromium-browser"),
        QStringLiteral("google-chrome"),
        QStringLiteral("google-chrome-beta"),
        QStringLiteral("google-chrome-unstable"),
        QStringLiteral("brave-browser"),
        QStringLiteral("microsoft-edge"),
        QStringLiteral("microsoft-edge-beta"),
        QStringLiteral("microsoft-edge-dev"),
        QStringLiteral("vivaldi-stable"),
        QStringLiteral("firefox"),
        QStringLiteral("firefox-esr"),
        QStringLiteral("org.chromium.Chromium"),
        QStringLiteral("com.google.Chrome"),
        QStringLiteral("com.brave.Browser"),
        QStringLiteral("com.microsoft.Edge"),
        QStringLiteral("com.vivaldi.Vivaldi"),
        QStringLiteral("org.mozilla.firefox"),
    };
    return ids.contains(identifier);
}

std::optional<QString> pickAddress(const std::vector<HostReport>& reports,
                                   const FrontApplication& front, Clock::time_point now) {
    const HostReport* best = nullptr;
    int matches = 0;
    for (const HostReport& candidate : reports) {
        const BrowserReport& report = candidate.report;
        if ((front.pid != 0 && candidate.browserPid != front.pid) || !report.focused ||
            report.incognito || report.url.isEmpty() || report.title.isEmpty() ||
            now - candidate.at > kReportLifetime || !front.title.startsWith(report.title))
            continue;
        ++matches;
        if (!best || candidate.at > best->at)
            best = &candidate;
    }
    if (!best || (front.pid == 0 && matches > 1))
        return std::nullopt;
    return best->report.url;
}

struct BrowserReports::Host {
    QLocalSocket* socket = nullptr;
    QTimer silence; // runs from a query to its answer
    qint64 browserPid = 0;
    std::string buffer;
    std::optional<HostReport> latest;
    std::optional<Clock::time_point> queriedAt;
};

BrowserReports::Options BrowserReports::Options::defaults() {
    const QString name = QString::fromLatin1(kHostProgramName);
    const QString beside = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    return Options{
        defaultSocketPath(),
        {helperProgramPath(name), QFileInfo(beside).absolutePath() + QLatin1Char('/') + name},
        // Chromium, Chrome, Brave, Edge, Vivaldi and Firefox as their packages install them.
        {QStringLiteral("chromium"), QStringLiteral("chrome"), QStringLiteral("brave"),
         QStringLiteral("msedge"), QStringLiteral("vivaldi-bin"), QStringLiteral("firefox"),
         QStringLiteral("firefox-esr"), QStringLiteral("firefox-bin")},
        [] { return Clock::now(); },
    };
}

QString BrowserReports::defaultSocketPath() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.startsWith(QLatin1Char('/')))
        return {};
    return runtime + QStringLiteral("/vantor-companion/browser.sock");
}

BrowserReports::BrowserReports(Options options) : m_options(std::move(options)) {
    if (!m_options.now)
        m_options.now = [] { return Clock::now(); };
    for (QString& program : m_options.hostPrograms)
        program = QFileInfo(program).canonicalFilePath();
    m_options.hostPrograms.removeAll(QString());
}

BrowserReports::~BrowserReports() = default;

bool BrowserReports::listen() {
    if (m_options.socketPath.isEmpty()) {
        logEvent(QStringLiteral("No browser addresses"),
                 QStringLiteral("XDG_RUNTIME_DIR is not set"));
        return false;
    }
    // Hosts trust whatever listens here: the folder must be ours and closed to everyone else.
    const QByteArray folder = QFile::encodeName(QFileInfo(m_options.socketPath).absolutePath());
    struct stat info {};
    if (mkdir(folder.constData(), 0700) != 0 && errno != EEXIST)
        info.st_mode = 0;
    if (lstat(folder.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != getuid() || chmod(folder.constData(), 0700) != 0) {
        logEvent(QStringLiteral("No browser addresses"),
                 QString::fromLocal8Bit(folder) +
                     QStringLiteral(" is not a private folder of ours"));
        return false;
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(m_options.socketPath); // left by an agent that did not stop cleanly
    if (!m_server->listen(m_options.socketPath)) {
        logEvent(QStringLiteral("No browser addresses"), m_server->errorString());
        return false;
    }
    QObject::connect(m_server, &QLocalServer::newConnection, this, [this] { accept(); });
    return true;
}

void BrowserReports::accept() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        QString refusal;
        qint64 pid = 0;
        qint64 browser = 0; // the host's parent: the same one checked and kept
        ucred peer{};
        socklen_t size = sizeof peer;
        if (getsockopt(static_cast<int>(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer,
                       &size) != 0 ||
            peer.pid <= 0)
            refusal = QStringLiteral("no peer credentials");
        else if (peer.uid != getuid())
            refusal = QStringLiteral("another user");
        else if (pid = peer.pid; !m_options.hostPrograms.contains(programOf(pid)))
            refusal = QStringLiteral("not our browser host (pid %1)").arg(pid);
        else if (browser = parentOf(pid);
                 !m_options.browserExecutables.contains(QFileInfo(programOf(browser)).fileName()))
            refusal = QStringLiteral("not started by a browser (pid %1)").arg(pid);
        else if (m_hosts.size() >= kMaxHosts)
            refusal = QStringLiteral("too many browser hosts");
        if (!refusal.isEmpty()) {
            logRefusal(refusal);
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto host = std::make_unique<Host>();
        host->socket = socket;
        host->browserPid = browser;
        // Qt would otherwise buffer whatever a flooding peer sends.
        socket->setReadBufferSize(4 * framing::kMaxFrame);
        host->silence.setSingleShot(true);
        // A host answers a query (its first one too, sent as it is taken) within a second or so.
        host->silence.setInterval(m_options.silentHostAfter);
        QObject::connect(&host->silence, &QTimer::timeout, socket, &QLocalSocket::abort);
        Host* raw = host.get();
        m_hosts.push_back(std::move(host));
        QObject::connect(socket, &QLocalSocket::readyRead, this, [this, raw] { readHost(*raw); });
        QObject::connect(socket, &QLocalSocket::disconnected, this,
                         [this, socket] { dropHost(socket); });
        // Taken: a host asks its browser for a report only once it hears this.
        query(*raw);
        readHost(*raw);
    }
}

void BrowserReports::logRefusal(const QString& reason) {
    const auto now = m_options.now();
    if (m_refusalLoggedAt && now - *m_refusalLoggedAt < kRefusalLogEvery) {
        ++m_refusalsUnlogged;
        return;
    }
    logEvent(QStringLiteral("Refused a browser host"),
             m_refusalsUnlogged == 0 ? reason
                                     : QStringLiteral("%1 (and %2 more since the last such line)")
                                           .arg(reason)
                                           .arg(m_refusalsUnlogged));
    m_refusalLoggedAt = now;
    m_refusalsUnlogged = 0;
}

void BrowserReports::query(Host& host) {
    host.queriedAt = m_options.now();
    host.socket->write(QByteArray::fromStdString(framing::encode(kQueryFrame)));
    if (!host.silence.isActive())
        host.silence.start();
}

void BrowserReports::readHost(Host& host) {
    const QByteArray bytes = host.socket->readAll();
    host.buffer.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    const auto parsed = framing::parse(host.buffer);
    if (parsed.oversized) {
        host.socket->abort();
        return;
    }
    host.buffer.erase(0, parsed.consumed);
    if (parsed.frames.empty())
        return;
    host.silence.stop();
    // Only the newest frame matters; a broken one leaves this host with nothing to vouch.
    if (const auto report = parseBrowserReport(parsed.frames.back()))
        host.latest = HostReport{host.browserPid, *report, m_options.now()};
    else
        host.latest.reset();
    notifyReport();
}

void BrowserReports::dropHost(QLocalSocket* socket) {
    std::erase_if(m_hosts, [socket](const auto& host) { return host->socket == socket; });
    socket->deleteLater();
}

std::optional<QString> BrowserReports::address(const FrontApplication& front) {
    if (!front.identifier || !isSupportedBrowser(*front.identifier))
        return std::nullopt;
    const auto now = m_options.now();
    std::vector<HostReport> reports;
    bool hostSeen = false;
    for (const auto& host : m_hosts) {
        if (front.pid != 0 && host->browserPid != front.pid)
            continue;
        hostSeen = true;
        if (host->latest)
            reports.push_back(*host->latest);
        // Reports come on changes only: ask for a fresh one well before the last one expires.
        const bool old = !host->latest || now - host->latest->at >= kRefreshAfter;
        if (old && (!host->queriedAt || now - *host->queriedAt >= kRefreshAfter))
            query(*host);
    }
    if (!hostSeen) {
        if (m_missingSince.size() > 256)
            m_missingSince.clear();
        auto& since = m_missingSince[front.pid];
        if (!since)
            since = now;
        else if (*since != Clock::time_point::max() && now - *since >= kHostStartGrace) {
            since = Clock::time_point::max(); // once per browser process
            logEvent(QStringLiteral("No browser address"),
                     QStringLiteral("%1 (pid %2) has no extension connected")
                         .arg(*front.identifier)
                         .arg(front.pid));
        }
    }
    return pickAddress(reports, front, now);
}
