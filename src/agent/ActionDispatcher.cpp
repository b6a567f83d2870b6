#include "AgentCore.h"
#include "AgentError.h"
#include "AudioDevices.h"
#include "KeyChord.h"
#include "KeySender.h"
#include "RunProcess.h"
#include "ScriptText.h"
#include "ShortcutScript.h"
#include "SystemControls.h"
#include "Text.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QUrl>

namespace {

constexpr qsizetype kMaxTextLength = 240;
// One user-perceived character may carry any number of combining marks, so a text within the
// character limit could still be hundreds of kilobytes. 2 KiB holds 240 characters of every
// script in ordinary use (a Devanagari conjunct or an emoji with a skin tone takes 8 to 12).
constexpr qsizetype kMaxTextBytes = 2048;

// UTF-16 units never outnumber UTF-8 bytes: a huge text is refused before it is converted or
// segmented.
bool withinTextLimits(const QString& text) {
    return text.size() <= kMaxTextBytes && text.toUtf8().size() <= kMaxTextBytes &&
           graphemeCount(text) <= kMaxTextLength;
}

// Anything but an array made only of objects runs nothing.
QJsonArray workflowSteps(const QJsonValue& value) {
    if (!value.isArray())
        return {};
    const QJsonArray steps = value.toArray();
    for (const QJsonValue& step : steps)
        if (!step.isObject())
            return {};
    return steps;
}

} // namespace

const QStringList& AgentCore::allowedActionTypes() {
    static const QStringList types{QStringLiteral("launch"), QStringLiteral("url"),
                                   QStringLiteral("shortcut"), QStringLiteral("workflow"),
                                   QStringLiteral("system")};
    return types;
}

QString AgentCore::safeText(const QJsonValue& value, const QString& field) {
    if (!value.isString())
        throw AgentError::invalid(field + QStringLiteral(" must be text"));
    const QString trimmed = trimmedText(value.toString());
    if (trimmed.isEmpty() || !withinTextLimits(trimmed))
        throw AgentError::invalid(field + QStringLiteral(" is missing or too long"));
    return trimmed;
}

QString AgentCore::safeUrl(const QJsonValue& value) {
    const QString checked = safeText(value, QStringLiteral("URL"));
    // Strict parsing is the RFC 3986 grammar; the text itself goes on unchanged, so what the
    // user sent is what opens.
    const QUrl url(checked, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme.compare(QLatin1String("http"), Qt::CaseInsensitive) != 0 &&
                           scheme.compare(QLatin1String("https"), Qt::CaseInsensitive) != 0))
        throw AgentError::invalid(QStringLiteral("Only http and https URLs are allowed"));
    return checked;
}

QString AgentCore::executeAction(const QJsonObject& action, int depth) {
    const QJsonValue typeValue = action.value(QLatin1String("type"));
    const QString type = typeValue.isString() ? typeValue.toString() : QString();
    if (!typeValue.isString() || !allowedActionTypes().contains(type))
        throw AgentError::invalid(QStringLiteral("Unsupported action type"));

    if (type == QLatin1String("workflow")) {
        if (depth >= maxWorkflowDepth)
            throw AgentError::invalid(QStringLiteral("Workflow is nested too deeply"));
        const QJsonArray steps = workflowSteps(action.value(QLatin1String("steps")));
        if (steps.size() > maxWorkflowSteps)
            throw AgentError::invalid(QStringLiteral("Workflow can run at most ") +
                                      QString::number(maxWorkflowSteps) + QStringLiteral(" steps"));
        // The label comes back in the result, the cloud's log line and the local answer; it is
        // checked before any step runs, so a refused workflow has done nothing.
        const QJsonValue label = action.value(QLatin1String("label"));
        if (label.isString() && !withinTextLimits(label.toString()))
            throw AgentError::invalid(QStringLiteral("Label is too long"));
        for (const QJsonValue& step : steps)
            executeAction(step.toObject(), depth + 1);
        return (label.isString() ? label.toString() : QStringLiteral("Workflow")) +
               QStringLiteral(" ran ") + QString::number(steps.size()) + QStringLiteral(" steps");
    }

    if (type == QLatin1String("launch")) {
        const QString app = safeText(action.value(QLatin1String("app")), QStringLiteral("App"));
        runProcess(m_services.documentOpenerPath, {QStringLiteral("-a"), app});
        return QStringLiteral("Launched ") + app;
    }

    if (type == QLatin1String("url")) {
        const QString url = safeUrl(action.value(QLatin1String("target")));
        runProcess(m_services.documentOpenerPath, {url});
        return QStringLiteral("Opened ") + url;
    }

    if (type == QLatin1String("shortcut")) {
        const QString keys =
            safeText(action.value(QLatin1String("keys")), QStringLiteral("Shortcut"));
        sendChord(keys);
        return QStringLiteral("Sent ") + keys;
    }

    // "system", the last allowed type.
    const QString control =
        safeText(action.value(QLatin1String("target")), QStringLiteral("System control"));
    if (control == QLatin1String("audio-output-next"))
        return QStringLiteral("Output → ") +
               AudioDevices::cycleDefault(*m_services.audio, AudioDevices::Scope::Output);
    if (control == QLatin1String("audio-input-next"))
        return QStringLiteral("Input → ") +
               AudioDevices::cycleDefault(*m_services.audio, AudioDevices::Scope::Input);
    const auto script = systemVerbScripts().constFind(control);
    if (script == systemVerbScripts().cend())
        throw AgentError::invalid(QStringLiteral("Unsupported system control: ") + control);
    runProcess(m_services.scriptRunnerPath, {QStringLiteral("-e"), *script});
    return QStringLiteral("System: ") + control;
}

void AgentCore::sendChord(const QString& keys) {
    const QString text = shortcutScript(keys);
    if (!m_services.keys) {
        runProcess(m_services.scriptRunnerPath, {QStringLiteral("-e"), text});
        return;
    }
    // The same template parser as the script runner's, so both routes accept exactly the same
    // chords and fail with the same reasons.
    const script::Request request = script::parse(text.toStdString());
    const auto* key = std::get_if<script::KeyRequest>(&request);
    if (!key) {
        const auto* refusal = std::get_if<script::Refusal>(&request);
        throw AgentError::invalid(refusal ? QString::fromStdString(refusal->reason)
                                          : QStringLiteral("Not a key chord"));
    }
    try {
        m_services.keys->send(key->chord);
    } catch (const KeyInjectionError& error) {
        throw AgentError::invalid(QString::fromUtf8(error.what()));
    }
}
