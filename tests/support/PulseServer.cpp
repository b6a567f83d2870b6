#include "PulseServer.h"

#include "TempEnvironment.h"

#include <QProcess>

PulseServer::PulseServer(const QList<Device>& sinks, const QList<Device>& sources, Kind server)
    : m_kind(server), m_call(server == Kind::PipeWire ? "start_pipewire" : "start_pulse") {
    for (const auto& [kind, devices] : {std::pair{"sink", &sinks}, {"source", &sources}})
        for (const Device& device : *devices)
            m_call += std::string(" ") + kind + " '" + device.name.toStdString() + "' '" +
                      device.description.toStdString() + "'";
    start();
}

bool PulseServer::start() {
    return m_ready = m_ready || startScript(m_call, "PULSE_SERVER|E2E_PULSE_PID");
}

void PulseServer::stop() {
    TestDesktop::stop();
    m_ready = false;
}

QString PulseServer::pactl(const QString& arguments) {
    QProcess process;
    process.start(QStringLiteral("pactl"), arguments.split(QLatin1Char(' ')));
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

bool PulseServer::pactlUntil(const QString& arguments, const std::function<bool()>& shown) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        pactl(arguments);
        if (waitUntil(shown, std::chrono::seconds(1)))
            return true;
    }
    return false;
}
