#pragma once

#include "TestDesktop.h"

#include <QList>
#include <QString>
#include <functional>

// A private PulseAudio or PipeWire (WirePlumber, pipewire-pulse) server with null sinks and sources
// only, for one test or benchmark: start_pulse or start_pipewire of tests/e2e/desktop.sh. While
// the object lives, PULSE_SERVER points this process and its children at it. Construction starts
// it (check isRunning()). Descriptions may hold spaces but no quote characters.
class PulseServer : public TestDesktop {
public:
    enum class Kind { PulseAudio, PipeWire };
    struct Device {
        QString name;        // the sink or source name, e.g. "sinkA"
        QString description; // what users see, e.g. "Speakers A"
    };
    PulseServer(const QList<Device>& sinks, const QList<Device>& sources,
                Kind server = Kind::PulseAudio);
    Kind kind() const { return m_kind; }

    // Starts the server again (after stop()), with the same devices; true once it answers.
    bool start();
    void stop();
    bool isRunning() const { return m_ready; }
    // The process that serves the protocol (pipewire-pulse on PipeWire).
    qint64 processId() const { return qEnvironmentVariableIntValue("E2E_PULSE_PID"); }
    // The server's own command-line client, the independent witness: its trimmed output. The
    // arguments are split at spaces.
    static QString pactl(const QString& arguments);
    // A user's change made with pactl, repeated until `shown` holds (a few tries, a second
    // each): pipewire-pulse acknowledges a move or a volume before PipeWire has it, and loses
    // it when the client leaves at once, as pactl does (a third of the moves on 0.3.65).
    static bool pactlUntil(const QString& arguments, const std::function<bool()>& shown);
    static const char* name(Kind kind) {
        return kind == Kind::PipeWire ? "PipeWire" : "PulseAudio";
    }

private:
    Kind m_kind;
    std::string m_call;
};
