#include "AgentCore.h"

#include "AudioBackend.h"
#include "BrowserTabSource.h"
#include "FrontApplication.h"
#include "HelperPrograms.h"
#include "Log.h"
#include "RunProcess.h"
#include "Text.h"

#include <QTimer>
#include <algorithm>

namespace {

constexpr std::chrono::milliseconds kContextInterval{700};
constexpr std::chrono::milliseconds kActionInterval{1000};
// Focus can move many times a second (alt-tab held down); listeners need the switch at once, not
// a sample per intermediate window.
constexpr std::chrono::milliseconds kFocusSampleSpacing{250};
// A navigation reports its address and then its title a few milliseconds apart: one sample after
// both, and the address is on the stream well within a human's notice. Two such samples per
// half second at most, so a page rewriting its address every frame costs no more than focus
// changes do.
constexpr std::chrono::milliseconds kReportSampleSpacing{40};
constexpr std::chrono::milliseconds kReportPairSpacing{500};

} // namespace

CoreServices CoreServices::defaults() {
    return CoreServices{
        std::make_shared<NoFrontApplicationSource>(),
        nullptr,
        helperProgramPath(QString::fromLatin1(kScriptRunnerName)),
        helperProgramPath(QString::fromLatin1(kDocumentOpenerName)),
        [] { return AgentCore::Clock::now(); },
        std::make_shared<NoAudioBackend>(),
        std::chrono::seconds(10),
        std::chrono::seconds(15),
        nullptr,
    };
}

AgentCore::AgentCore(CoreServices services) : m_services(std::move(services)) {
    if (!m_services.frontApplication)
        m_services.frontApplication = std::make_shared<NoFrontApplicationSource>();
    if (!m_services.audio)
        m_services.audio = std::make_shared<NoAudioBackend>();
    if (!m_services.now)
        m_services.now = [] { return Clock::now(); };
    lastContext.at = isoTimestampNow();

    QString problem;
    pairing = Pairing::load(&problem);
    if (!problem.isEmpty())
        logEvent(QStringLiteral("Starting unpaired"), problem);
}

AgentCore::~AgentCore() = default;

void AgentCore::start() {
    // The timers are the core's children: a tick can never outlive it.
    auto* context = new QTimer(this);
    context->setTimerType(Qt::CoarseTimer);
    QObject::connect(context, &QTimer::timeout, this, [this] { pollContext(); });
    context->start(kContextInterval);
    contextTimer = context;

    auto* actions = new QTimer(this);
    actions->setTimerType(Qt::CoarseTimer);
    QObject::connect(actions, &QTimer::timeout, this, [this] { pollCloudActions(); });
    actions->start(kActionInterval);
    actionTimer = actions;

    focusSampleTimer = new QTimer(this);
    focusSampleTimer->setSingleShot(true);
    QObject::connect(focusSampleTimer, &QTimer::timeout, this, [this] {
        // Focus passes through "no window" on its way between two windows; only a state that
        // lasts until the next tick is worth reporting.
        if (!m_services.frontApplication->frontApplication())
            return;
        m_previousFocusSampleAt = m_lastFocusSampleAt;
        m_lastFocusSampleAt = m_services.now();
        pollContext();
    });
    m_services.frontApplication->onFocusChange = [core = QPointer<AgentCore>(this)] {
        if (core)
            core->focusChanged(kFocusSampleSpacing);
    };
    // A tab report may change the address of the window in front: sample as for a focus change.
    if (m_services.browserTabs)
        m_services.browserTabs->onReport = [core = QPointer<AgentCore>(this)] {
            if (core)
                core->focusChanged(kReportSampleSpacing);
        };

    pollContext();
}

void AgentCore::focusChanged(std::chrono::milliseconds spacing) {
    // Always through the timer: the source reports from inside a sample, and a sample must not
    // start another one within itself.
    if (!focusSampleTimer || focusSampleTimer->isActive())
        return;
    auto wait = std::chrono::milliseconds(0);
    const auto waitFor = [&](std::optional<Clock::time_point> since,
                             std::chrono::milliseconds gap) {
        if (!since)
            return;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_services.now() - *since);
        if (elapsed < gap)
            wait = std::max(wait, gap - elapsed);
    };
    waitFor(m_lastFocusSampleAt, spacing);
    if (spacing < kFocusSampleSpacing)
        waitFor(m_previousFocusSampleAt, kReportPairSpacing);
    focusSampleTimer->start(wait);
}

void AgentCore::pair(const Pairing& newPairing) {
    pairing = newPairing;
    newPairing.save();
    lastCloudError.reset();
    if (onPairingChange)
        onPairingChange();
    syncCloudContext(lastContext, true);
}

void AgentCore::clearPairing() {
    pairing.reset();
    Pairing::erase();
    lastCloudError.reset();
    if (onPairingChange)
        onPairingChange();
}

void AgentCore::pollContext() {
    AgentContext sample;
    // The desktop session keeps the front window from its own events: reading it starts no
    // process and waits for nothing.
    const auto front = m_services.frontApplication->frontApplication();
    if (front) {
        sample.activeApp = front->name.value_or(QStringLiteral("Unknown"));
        sample.bundleId = front->identifier.value_or(QStringLiteral("unknown"));
    }
    sample.at = isoTimestampNow();
    sample.windowTitle = front ? trimmedText(front->title) : QString();
    if (!m_services.browserTabs)
        sample.browserUrl = browserUrl(sample.bundleId);
    else if (front)
        sample.browserUrl = m_services.browserTabs->address(*front);

    if (sample.changed(lastContext)) {
        lastContext = sample;
        if (onContextChange)
            onContextChange(sample);
        syncCloudContext(sample, true);
    } else {
        lastContext.at = sample.at;
        syncCloudContext(lastContext, false);
    }
}

std::optional<QString> AgentCore::browserUrl(const QString& bundleId) {
    const auto script = browserScript(bundleId);
    if (!script)
        return std::nullopt;
    try {
        return runProcess(m_services.scriptRunnerPath, {QStringLiteral("-e"), *script});
    } catch (const std::exception&) {
        return std::nullopt;
    }
}
