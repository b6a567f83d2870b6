#pragma once

#include <QString>

// What /proc says of a local process. Pids are reused: callers that need more than a hint pair
// these with something the process cannot change (its socket's credentials, for one).

// The absolute path of the program a process runs; empty when it cannot be read. After a package
// upgrade replaced the file by rename the kernel names it "PATH (deleted)": still the same
// program as far as a path can tell, so the suffix is dropped.
QString programOf(qint64 pid);

// The process's parent; 0 when it cannot be read.
qint64 parentOf(qint64 pid);
