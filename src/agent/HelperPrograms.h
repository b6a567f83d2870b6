#pragma once

#include <QString>

// The programs that stand in for the system's script runner and document opener. They are
// installed beside the agent (build tree) or in its libexec folder (installed tree).
inline constexpr char kScriptRunnerName[] = "vantor-osascript";
inline constexpr char kDocumentOpenerName[] = "vantor-open";

// Absolute path of a helper program for the running executable: beside it when present there,
// else in ../libexec/vantor-companion/. Falls back to the first form when neither exists, so
// the failure names the expected place.
QString helperProgramPath(const QString& name);
