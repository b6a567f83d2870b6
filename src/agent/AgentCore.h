#pragma once

#include "AgentContext.h"
#include "Pairing.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

class AudioBackend;
class BrowserTabSource;
class FrontApplicationSource;
class KeySender;
class QByteArray;
class QJsonObject;
class QJsonValue;
class QNetworkAccessManager;
class QTimer;

// Where the core reaches the system. The defaults are the real programs beside the agent and a
// desktop with no observable front application and no audio devices; the shell and tests
// replace parts.
struct CoreServices {
    std::shared_ptr<FrontApplicationSource> frontApplication;
    // Presses key chords in process where the desktop's input route is the agent's own
    // connection (Wayland); without one, chord scripts go to the script runner (X11).
    std::shared_ptr<KeySender> keys;
    QString scriptRunnerPath;   // runs the agent's script texts ("-e TEXT")
    QString documentOpenerPath; // launches applications ("-a APP") and opens addresses
    // Monotonic time for the upload throttle: a wall-clock jump neither stalls nor floods.
    std::function<std::chrono::steady_clock::time_point()> now;
    // The audio devices that "audio-output-next" and "audio-input-next" switch between.
    std::shared_ptr<AudioBackend> audio;
    // Every cloud request fails when nothing arrives for this long, or when it has not ended
    // after the deadline however steadily its answer trickles in.
    std::chrono::milliseconds cloudTimeout{10000};
    std::chrono::milliseconds cloudDeadline{15000};
    // The browser tab addresses our extension reports (Linux). Without one, addresses come from
    // the browser scripts.
    std::shared_ptr<BrowserTabSource> browserTabs;

    static CoreServices defaults();
};

// The one long-lived object of the agent: the last context, the pairing, the last cloud error,
// the two timers and the operations they drive. Main thread only; it holds no lock. It is a
// QObject so that timers, network completions and queued calls from the server thread are tied
// to its life: once it is destroyed they do nothing.
class AgentCore : public QObject {
public:
    using Clock = std::chrono::steady_clock;
    // Runs later on the main thread with the answer body, or with the failure.
    using CloudCompletion =
        std::function<void(std::optional<QByteArray> body, std::exception_ptr error)>;

    explicit AgentCore(CoreServices services = CoreServices::defaults());
    ~AgentCore() override;

    AgentCore(const AgentCore&) = delete;
    AgentCore& operator=(const AgentCore&) = delete;

    AgentContext lastContext;
    std::optional<Pairing> pairing;
    std::optional<QString> lastCloudError;
    std::function<void(const AgentContext&)> onContextChange;
    std::function<void()> onPairingChange;
    std::optional<Clock::time_point> lastCloudSyncAt; // nothing = the distant past
    QPointer<QTimer> contextTimer;
    QPointer<QTimer> actionTimer;
    // The pending extra sample after a focus change; its interval is the spacing still owed.
    QPointer<QTimer> focusSampleTimer;

    // Starts sampling every 0.7 s and polling the cloud every 1.0 s, and samples once at once.
    // From then on a focus change the desktop reports is sampled at once as well, such extra
    // samples at least 250 ms apart.
    void start();

    // Adopts and stores a pairing, clears the cloud error, notifies, and uploads at once.
    void pair(const Pairing& pairing);

    // Forgets the pairing and its stored keys, clears the cloud error, notifies.
    void clearPairing();

    // Takes one context sample and reports it when it changed.
    void pollContext();

    // The front tab's address of a supported browser; nothing otherwise or when the script fails.
    std::optional<QString> browserUrl(const QString& bundleId);

    // Cloud link. Every operation does nothing while unpaired. A completion runs later on the main
    // thread with the answer body (status below 400), or with an AgentError carrying the
    // service's error answer, or with a SystemError for a transport failure (no connection,
    // time-out, refused certificate, an answer cut short, a redirect to another origin, an answer
    // past 1 MiB); never after the core is destroyed. False when nothing was sent.
    bool cloudRequest(const QString& path, const QString& method,
                      const std::optional<QByteArray>& body, CloudCompletion completion);
    void syncCloudContext(const AgentContext& context, bool force);
    void recordCloudResult(std::exception_ptr error);
    void pollCloudActions();

    // Action dispatcher.
    static const QStringList& allowedActionTypes();
    static constexpr int maxWorkflowSteps = 12;
    static constexpr int maxWorkflowDepth = 3;
    QString executeAction(const QJsonObject& action, int depth);
    static QString safeText(const QJsonValue& value, const QString& field);
    static QString safeUrl(const QJsonValue& value);

    const CoreServices& services() const { return m_services; }

private:
    void focusChanged(std::chrono::milliseconds spacing);
    void sendChord(const QString& keys);

    CoreServices m_services;
    std::optional<Clock::time_point> m_lastFocusSampleAt;
    std::optional<Clock::time_point> m_previousFocusSampleAt;
    QNetworkAccessManager* m_network = nullptr; // a child, created on the first cloud request
    bool m_pollInFlight = false;
};
