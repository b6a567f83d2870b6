#pragma once

#include <QString>
#include <QStringList>

// Runs the program at `path` with `arguments` (the program's own name is not repeated) and
// returns its standard output, UTF-8 decoded (invalid bytes give the empty text) and trimmed.
//
// Both pipes are drained while the child runs, so a chatty child never stalls. A child still
// running 7 s after launch is asked to terminate; one still alive 2 s later is killed. The call
// therefore blocks at most about 9 s.
//
// Throws SystemError when the program cannot be started, and AgentError::invalid with the
// child's trimmed standard error (or "Command failed" when that is empty) when it exits with a
// non-zero status or is ended by a signal. Safe to call from any thread; keeps no state.
QString runProcess(const QString& path, const QStringList& arguments);
