#include "WlrootsCompositor.h"

#include <csignal>

bool WlrootsCompositor::restart() {
    if (const int pid = qEnvironmentVariableIntValue("WLR_PID"); pid > 0) // never 0: our group
        ::kill(pid, SIGKILL);
    stop();
    return start();
}

bool WlrootsCompositor::focus(const std::string& appId, bool hide) const {
    if (m_name == "sway")
        return runProgram({"timeout", "5", "swaymsg", "-q",
                           "[app_id=" + appId + "] " + (hide ? "move scratchpad" : "focus")}) == 0;
    return runProgram({"timeout", "5", "wlrctl", "toplevel", hide ? "minimize" : "focus",
                       "app_id:" + appId}) == 0;
}

pid_t WlrootsCompositor::spawnClient(const std::vector<std::string>& argv) const {
    std::vector<std::string> line{clientDir().toStdString() + "/client"}; // the script's door
    line.insert(line.end(), argv.begin(), argv.end());
    return spawnProgram(line);
}
