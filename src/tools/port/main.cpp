#include "PortService.h"

#include <cstdio>
#include <exception>
#include <string>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <vector>

// Started by vantor-companion-port.socket, which binds the port at boot: whatever it hands over
// is taken by kind, a Unix socket being the agents' registration socket and every TCP socket a
// port to serve, so the unit's names need not be trusted.
int main() {
    char** names = nullptr;
    const int count = ::sd_listen_fds_with_names(1, &names);
    std::vector<int> http;
    int registration = -1;
    std::string listed;
    for (int i = 0; i < count; ++i) {
        const int fd = SD_LISTEN_FDS_START + i;
        listed += std::string(listed.empty() ? "" : ", ") + (names ? names[i] : "?");
        if (::sd_is_socket(fd, AF_UNIX, SOCK_STREAM, 1) > 0 && registration < 0)
            registration = fd;
        else if (::sd_is_socket_inet(fd, 0, SOCK_STREAM, 1, 0) > 0)
            http.push_back(fd);
        if (names)
            ::free(names[i]);
    }
    ::free(names);
    if (http.empty() || registration < 0) {
        std::fprintf(stderr,
                     "vantor-port: needs the port's TCP sockets and the agents' Unix "
                     "socket from its socket unit; got %d (%s)\n",
                     count < 0 ? 0 : count, listed.c_str());
        return 1;
    }
    try {
        std::fprintf(stderr, "vantor-port: serving %zu port(s) for registered agents (%s)\n",
                     http.size(), listed.c_str());
        PortService(http, registration).run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantor-port: %s\n", error.what());
        return 1;
    }
}
