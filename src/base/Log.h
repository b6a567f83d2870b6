#pragma once

#include <QString>
#include <functional>

// One line per event, to syslog (ident "vantor-companion") and to standard error. Callable from
// any thread. Never pass a secret. Whatever the text holds, the event is one line of at most
// 4 KiB of UTF-8: C0 and C1 controls, DEL, the backslash, unpaired surrogates and the Unicode
// format and line or paragraph separator characters (categories Cf, Zl, Zp) are written as
// "\u{HHHH}" (upper-case hexadecimal, at least four digits), so every backslash in a line starts
// such an escape; a longer line is cut at a character and ends in "… (N bytes more)".
void logEvent(const QString& line);

// The two-part form: a short title, an em dash, a detail.
void logEvent(const QString& title, const QString& detail);

// Lets tests observe the lines as they are written; an empty function removes the observer.
void setLogObserver(std::function<void(const QString&)> observer);
