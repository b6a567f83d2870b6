#pragma once

#include <QString>
#include <functional>

// One line per event, to syslog (ident "vantor-companion") and to standard error. Callable from
// any thread. Never pass a secret. Control characters (C0, DEL, C1) in the text are written as
// "\xHH", so whatever the text holds, the event is one line.
void logEvent(const QString& line);

// The two-part form: a short title, an em dash, a detail.
void logEvent(const QString& title, const QString& detail);

// Lets tests observe the lines as they are written; an empty function removes the observer.
void setLogObserver(std::function<void(const QString&)> observer);
