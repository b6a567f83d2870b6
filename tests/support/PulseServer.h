#pragma once

#include <QList>
#include <QString>
#include <memory>

// A private PulseAudio server for one test or benchmark, with null sinks and sources only, in its
// own temporary runtime folder. While the object lives, PULSE_SERVER points this process and its
// children at it. Construction starts it (check isRunning()); destruction stops and reaps it.
// Descriptions may hold spaces but no quote characters.
class PulseServer {
public:
    struct Device {
        QString name;        // the sink or source name, e.g. "sinkA"
        QString description; // what users see, e.g. "Speakers A"
    };

    PulseServer(QList<Device> sinks, QList<Device> sources);
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;

    // Starts the server (again, with the same devices and address); true once it answers.
    bool start();
    void stop();
    bool isRunning() const;
    qint64 processId() const;
    // What the server wrote to its standard output and error, for failure messages.
    QString log() const;
    // The server's own command-line client, the independent witness: its trimmed output.
    static QString pactl(const QStringList& arguments);

private:
    struct State;
    std::unique_ptr<State> m;
};
