#pragma once

#include <QString>
#include <optional>

// The binding to one pairing slot of the cloud service. Stored in the user's settings file
// ($XDG_CONFIG_HOME/vantor-companion/vantor-companion.conf, mode 0600) under "cloudUrl",
// "pairCode" and "pairSecret", byte for byte. The file holds a secret: never log `secret`.
struct Pairing {
    QString cloudUrl;
    QString code;
    QString secret;

    bool operator==(const Pairing&) const = default;

    // Writes the three keys, replacing the file atomically. Failures are logged, never thrown.
    void save() const;

    // The stored record when all three keys hold non-empty texts, else nothing. When `problem`
    // is given it receives why nothing was returned (empty when the store simply has no pairing).
    static std::optional<Pairing> load(QString* problem = nullptr);

    // Removes the three keys.
    static void erase();

    // The settings file's path for the current environment.
    static QString storePath();
};
