#include "AgentContext.h"

#include <QJsonObject>

bool AgentContext::changed(const AgentContext& from) const {
    return activeApp != from.activeApp || bundleId != from.bundleId ||
           windowTitle != from.windowTitle || browserUrl != from.browserUrl;
}

QJsonObject AgentContext::jsonObject() const {
    QJsonObject object{
        {QStringLiteral("activeApp"), activeApp},
        {QStringLiteral("bundleId"), bundleId},
        {QStringLiteral("at"), at},
    };
    if (windowTitle && !windowTitle->isEmpty())
        object.insert(QStringLiteral("windowTitle"), *windowTitle);
    if (browserUrl && !browserUrl->isEmpty())
        object.insert(QStringLiteral("browserUrl"), *browserUrl);
    return object;
}

const QStringList& chromiumBrowserBundles() {
    static const QStringList bundles{
        QStringLiteral("com.google.Chrome"),     QStringLiteral("company.thebrowser.Browser"),
        QStringLiteral("com.microsoft.edgemac"), QStringLiteral("com.brave.Browser"),
        QStringLiteral("com.vivaldi.Vivaldi"),   QStringLiteral("com.operasoftware.Opera"),
    };
    return bundles;
}

const QString& titleScript() {
    static const QString script =
        QStringLiteral("tell application \"System Events\"\n"
                       "  set frontApp to first application process whose frontmost is true\n"
                       "  try\n"
                       "    return value of attribute \"AXTitle\" of front window of frontApp\n"
                       "  end try\n"
                       "  return \"\"\n"
                       "end tell");
    return script;
}

std::optional<QString> browserScript(const QString& bundleId) {
    if (chromiumBrowserBundles().contains(bundleId))
        return QStringLiteral("tell application id \"") + bundleId +
               QStringLiteral("\" to return URL of active tab of front window");
    if (bundleId == QLatin1String("com.apple.Safari"))
        return QStringLiteral(
            "tell application id \"com.apple.Safari\" to return URL of front document");
    return std::nullopt;
}
