#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>

class QByteArrayView;

// One request of the loopback API, as far as the routes need it. A plain value: it owns copies
// of everything it holds, nothing points into the connection's buffer.
struct HttpRequest {
    QString method;               // first token of the request line, case kept
    QString path;                 // the target up to its first "?", never percent-decoded
    QMap<QString, QString> query; // decoded parameters; a later key replaces an earlier one
    QByteArray body;              // exactly Content-Length bytes after the header block
    // Every Host and Origin header value, trimmed, in arrival order; the guards read them.
    QStringList hosts;
    QStringList origins;

    bool operator==(const HttpRequest&) const = default;

    // Contract: `buffer` is everything one connection has sent so far. The result is the request
    // it starts with, or nothing when it does not (yet) hold a whole request; incomplete and
    // malformed are deliberately not told apart, so the caller keeps reading until its own
    // limits end the connection. Pure: no state, no I/O, any thread; consumes nothing, so the
    // caller passes the grown buffer again after each read. Bytes after the request (a
    // pipelined second one) are ignored. Cost is linear in the buffer; no limits of its own.
    static std::optional<HttpRequest> parse(QByteArrayView buffer);

    // The same for the header block alone (the bytes before the blank line), so a connection
    // parses its head once however slowly the body follows: the request with an empty body and,
    // in `bodyLength`, the Content-Length it declares (0 when absent or not a number; negative
    // values as sent, meaning no body). Nothing when malformed.
    static std::optional<HttpRequest> parseHead(QByteArrayView headerBytes, qint64* bodyLength);
};
