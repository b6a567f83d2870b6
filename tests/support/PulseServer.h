#pragma once

#include <QList>
#include <QString>
#include <memory>

// A private PulseAudio server for one test or benchmark, with null sinks and sources only. It
// runs in its own temporary runtime folder; while the object lives, PULSE_SERVER points this
// process and every child it starts at it (the previous value comes back afterwards).
//
// Construction starts the server and waits, bounded, until it accepts clients: check
// isRunning(). Destruction stops it and reaps the process. Descriptions may hold spaces but no
// quote characters.
class PulseServer {
public:
    struct Device {
        QString name;        // the sink or source name, e.g. "sinkA"
        QString description; // what users see, e.g. "Speakers A"
    };

    PulseServer(QList<Device> sinks, QList<Device> sources);
    ~PulseServer();

    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts the server (again, with the same devices and address); true once it answers.
    bool start();
    // Stops the server and reaps it; clients see it go away.
    void stop();
    bool isRunning() const;
    // The server's process id while it runs (to stop it with SIGSTOP, say), else 0.
    qint64 processId() const;

    // The server address clients connect to, "unix:" + the socket path.
    QString address() const;
    // What the server wrote to its standard output and error, for failure messages.
    QString log() const;

private:
    struct State;
    std::unique_ptr<State> m;
};
