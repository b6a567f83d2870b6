#include "CommandLine.h"

#include "Log.h"
#include "PairingInput.h"
#include "Text.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QStringList>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

const QString kProgram = QStringLiteral("vantor-companion");

// The help's text before and after Qt's list of options. The manual page is made from it:
// help2man turns "Environment:" and "Files:" into sections and the text before the options into
// the description.
const char* const kDescription =
    R"(Makes this computer remote-controllable from the Keyloft console: it reports the
application in front and carries out the actions the console sends. One agent
runs per user; a later start hands its pairing to the running agent and exits.

To pair, choose Create Pairing in the console; it shows a companion command.
Then run "vantor-companion --pair -", paste the command and press Ctrl-D (or
run "vantor-companion --pair - < pairing.txt"), or choose "Pair with Console…"
in the tray menu and paste it there, or open the vantor:// link the console
offers. The short form "CODE SECRET [CLOUD_URL]" works in the same places.

Each event is one line in the system log under the name vantor-companion
(journalctl -t vantor-companion) and the same line on standard error. The exit
status is 0 when the agent quits, after --help or --version, and when the
pairing was handed to the running agent; 2 for a command line it cannot use.)";

const char* const kHelpSections = R"(
Environment:
  VANTOR_DESKTOP    x11, wlroots, kde or gnome: use that desktop backend without
                    probing; otherwise XDG_SESSION_TYPE, WAYLAND_DISPLAY and
                    XDG_CURRENT_DESKTOP are hints, each confirmed by a probe.
  XDG_CONFIG_HOME   holds the pairing (default ~/.config).
  XDG_RUNTIME_DIR   holds the socket through which a later start reaches the
                    running agent; without a private one, XDG_CACHE_HOME does.
  QT_QPA_PLATFORM   offscreen: run without a display, and so without a tray.

Files:
  $XDG_CONFIG_HOME/vantor-companion/vantor-companion.conf
                    the pairing (cloudUrl, pairCode, pairSecret), mode 0600.
  $XDG_CONFIG_HOME/autostart/vantor-companion.desktop
                    present while Start at Login is on.
)";

const char* const kVersionNotice = R"(
Copyright (C) 2026 Keyloft
License MIT: <https://opensource.org/license/mit>
This is free software: you are free to change and redistribute it.
There is NO WARRANTY, to the extent permitted by law.
)";

QString refusal(const QString& why) {
    return kProgram + QStringLiteral(": ") + why + QStringLiteral(" Try '") + kProgram +
           QStringLiteral(" --help'.\n");
}

QByteArray readInput(int input) {
    if (::isatty(input))
        std::fputs("Paste the companion command, then press Ctrl-D.\n", stderr);
    QByteArray text;
    char chunk[4096];
    while (text.size() <= kMaxPairingTextBytes) {
        const ssize_t got = ::read(input, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(chunk, got);
    }
    if (text.size() > kMaxPairingTextBytes) {
        logEvent(QStringLiteral("Ignored the standard input"),
                 QStringLiteral("it is larger than a pairing text can be"));
        text.clear();
    }
    return text;
}

// The pairing text never starts with "--" but may start with "-": the options end before the
// first argument that is neither an option nor the value of --pair.
QStringList optionsThenText(const QStringList& arguments) {
    QStringList words{kProgram};
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& word = arguments[i];
        if (!word.startsWith(QLatin1String("--")) && word != QLatin1String("-h")) {
            words << QStringLiteral("--") << arguments.mid(i);
            break;
        }
        words << word;
        if (word == QLatin1String("--"))
            return words + arguments.mid(i + 1);
        if (word == QLatin1String("--pair") && i + 1 < arguments.size())
            words << arguments[++i];
    }
    return words;
}

} // namespace

StartRequest readCommandLine(int argc, char** argv, int input) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
        std::memset(argv[i], 0, std::strlen(argv[i]));
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption pair(
        QStringLiteral("pair"),
        QStringLiteral("Read the pairing text from standard input; <source> must be \"-\". "
                       "The secret then never appears on a command line."),
        QStringLiteral("source"));
    parser.addOptions({help, version, pair});
    parser.addPositionalArgument(
        QStringLiteral("pairing"),
        QStringLiteral("A vantor:// link, or the companion command the console shows, quoted "
                       "as one argument. Other accounts can read a command line while it "
                       "starts: prefer --pair -."),
        QStringLiteral("[pairing]"));

    StartRequest request;
    if (!parser.parse(optionsThenText(arguments))) {
        request.action = StartRequest::Action::Refuse;
        request.output = refusal(parser.errorText());
    } else if (parser.isSet(help)) {
        request.action = StartRequest::Action::PrintHelp;
        // Qt names the program by how it was started, or not at all before the application
        // object exists; the manual page is made from this text and wants the bare name.
        const QString options = parser.helpText();
        request.output = QStringLiteral("Usage: ") + kProgram +
                         options.mid(options.indexOf(QLatin1String(" [options]"))) +
                         QString::fromUtf8(kHelpSections);
    } else if (parser.isSet(version)) {
        request.action = StartRequest::Action::PrintVersion;
        request.output =
            kProgram + QStringLiteral(" " VANTOR_VERSION) + QString::fromUtf8(kVersionNotice);
    } else if (parser.isSet(pair) && parser.value(pair) != QLatin1String("-")) {
        request.action = StartRequest::Action::Refuse;
        request.output = refusal(QStringLiteral("--pair reads only standard input: use --pair -."));
    } else if (parser.isSet(pair)) {
        request.argument = QString::fromLocal8Bit(readInput(input));
    } else {
        request.argument = parser.positionalArguments().value(0);
        // A vantor:// link comes from the browser, which has no other way to hand it over.
        const QString text = trimmedText(request.argument);
        if (!text.startsWith(QLatin1String("vantor:"), Qt::CaseInsensitive) &&
            parsePairingInput(text))
            logEvent(QStringLiteral("Pairing secret read from the command line"),
                     QStringLiteral("wiped from it at once, but other accounts could read it "
                                    "until then; pair with: vantor-companion --pair -"));
    }
    return request;
}
