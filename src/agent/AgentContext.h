#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class QJsonObject;

// One sample of what the user is doing. An absent optional and the empty text are different
// values: absent means the script failed, empty means there was nothing to report.
struct AgentContext {
    QString activeApp = QStringLiteral("Unknown");
    QString bundleId = QStringLiteral("unknown");
    std::optional<QString> windowTitle;
    std::optional<QString> browserUrl;
    QString at;

    bool operator==(const AgentContext&) const = default;

    // True when anything but the sample time differs.
    bool changed(const AgentContext& from) const;

    // The form sent to the cloud, the status route and the event stream: every value a string,
    // "windowTitle" and "browserUrl" only when present and not empty.
    QJsonObject jsonObject() const;
};

// Bundle identifiers of browsers that answer the Chromium scripting dictionary.
const QStringList& chromiumBrowserBundles();

// The script that prints the front window's title, or the empty text when there is none.
const QString& titleScript();

// The script that prints the front tab's address for `bundleId`, or nothing when the identifier
// names no supported browser.
std::optional<QString> browserScript(const QString& bundleId);
