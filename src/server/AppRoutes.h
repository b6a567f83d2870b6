#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

class AppCatalog;

// The catalogue routes of the loopback API, as plain functions: the work of GET /apps and
// GET /app-icon from the request's query to the status text and compact JSON body. They block
// (a scan, an icon render), so the server runs them on its background pool and writes the answer
// on its own thread.
namespace approutes {

struct Answer {
    QString status;  // "200 OK", "404 Not Found", "500 Internal Server Error"
    QByteArray body; // compact JSON
};

// GET /apps: "ok", the catalogue's "apps" and "generatedAt".
Answer listApps(AppCatalog& catalog);

// GET /app-icon: the application named by the query's "path", "bundleId" or "name" (absent keys
// stay absent) with its icon as a PNG data URL; "App not found" when the catalogue resolves
// nothing, "Icon extraction failed" when the image cannot be made or encoded.
Answer appIcon(AppCatalog& catalog, const QMap<QString, QString>& query);

// The last component of `path` without its final extension.
QString nameFromPath(const QString& path);

} // namespace approutes
