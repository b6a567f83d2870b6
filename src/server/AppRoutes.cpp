#include "AppRoutes.h"

#include "AppCatalog.h"
#include "AppIcon.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <optional>

namespace approutes {
namespace {

Answer answer(const char* status, const QJsonObject& body) {
    QByteArray json = QJsonDocument(body).toJson(QJsonDocument::Compact);
    return {QLatin1String(status), json.isEmpty() ? QByteArray("{}") : json};
}

Answer failure(const char* status, const char* message) {
    return answer(status, {{QStringLiteral("ok"), false},
                           {QStringLiteral("message"), QLatin1String(message)}});
}

std::optional<QString> queryValue(const QMap<QString, QString>& query, const char* key) {
    const auto found = query.find(QLatin1String(key));
    return found == query.end() ? std::nullopt : std::optional(*found);
}

} // namespace

Answer listApps(AppCatalog& catalog) {
    const AppList list = catalog.listApps();
    QJsonArray apps;
    for (const AppEntry& app : list.apps)
        apps.append(QJsonObject{{QStringLiteral("name"), app.name},
                                {QStringLiteral("bundleId"), app.bundleId},
                                {QStringLiteral("path"), app.path}});
    return answer("200 OK", {{QStringLiteral("ok"), true},
                             {QStringLiteral("apps"), apps},
                             {QStringLiteral("generatedAt"), list.generatedAt}});
}

Answer appIcon(AppCatalog& catalog, const QMap<QString, QString>& query) {
    const auto path = catalog.resolveAppPath(
        queryValue(query, "path"), queryValue(query, "bundleId"), queryValue(query, "name"));
    if (!path)
        return failure("404 Not Found", "App not found");
    const QByteArray png = appicon::encodePng(appicon::renderAppIcon(*path));
    if (png.isEmpty())
        return failure("500 Internal Server Error", "Icon extraction failed");
    return answer("200 OK", {{QStringLiteral("ok"), true},
                             {QStringLiteral("name"), nameFromPath(*path)},
                             {QStringLiteral("path"), *path},
                             {QStringLiteral("dataUrl"), appicon::pngDataUrl(png)}});
}

QString nameFromPath(const QString& path) {
    QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    // A leading dot starts a hidden name, not an extension.
    if (const qsizetype dot = name.lastIndexOf(QLatin1Char('.')); dot > 0)
        name.truncate(dot);
    return name;
}

} // namespace approutes
