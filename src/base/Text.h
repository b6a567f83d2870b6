#pragma once

#include <QString>
#include <QStringList>

class QByteArray;
class QDateTime;

// Text helpers shared by every subsystem. A "character" is a user-perceived character, an
// extended grapheme cluster, wherever the agent counts or cuts text.

// Number of user-perceived characters in the text.
qsizetype graphemeCount(const QString& text);

// The first `count` user-perceived characters of the text (all of it when shorter).
QString graphemePrefix(const QString& text, qsizetype count);

// Splits at every user-perceived character that equals one of `separators`, dropping empty
// pieces. A separator followed by a combining mark forms another character and does not split.
QStringList splitAtGraphemes(const QString& text, const QStringList& separators);

// Removes Unicode white space and line breaks from both ends.
QString trimmedText(const QString& text);

// Strict UTF-8 decoding: any invalid byte sequence gives the empty text.
QString decodeUtf8OrEmpty(const QByteArray& bytes);

// Whether the bytes are valid UTF-8.
bool isValidUtf8(const QByteArray& bytes);

// The agent's time format: ISO 8601 in UTC with milliseconds and the letter Z.
QString isoTimestamp(const QDateTime& time);
QString isoTimestampNow();
