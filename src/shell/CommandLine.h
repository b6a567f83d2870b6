#pragma once

#include <QString>

// A pasted command or link is a few hundred bytes; anything much larger is not one.
inline constexpr qint64 kMaxPairingTextBytes = 64 * 1024;

// What a start was asked to do.
struct StartRequest {
    enum class Action { Run, PrintHelp, PrintVersion, Refuse };
    Action action = Action::Run;
    // Run: the pairing text or vantor:// link, possibly empty.
    QString argument;
    // PrintHelp and PrintVersion: the text for standard output; Refuse: the one line for
    // standard error (exit status 2).
    QString output;
};

// Reads the command line and wipes every argument in place before anything else happens: it may
// hold the pairing secret, and every account can read /proc/PID/cmdline. An argument starting
// with "--", and "-h", is an option; the first other argument is the pairing text or link, taken
// whole, and any later ones are ignored. With "--pair -" the pairing text comes from `input`
// instead (at most 64 KiB; more is refused with a log line and gives the empty text). A pairing
// that did arrive on the command line is logged once as wiped, with the advice to use --pair -.
StartRequest readCommandLine(int argc, char** argv, int input = 0);
