#pragma once

#include "PeerOwner.h"

#include <chrono>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

// Hands each connection accepted on the loopback port to the agent of the user who owns its
// peer, over that agent's registration connection, and keeps nothing: the descriptor is closed
// here as soon as it is sent. It never reads a byte of a connection; one no agent takes gets a
// framed 503 and is closed. Agents register over a Unix socket, each for the uid the kernel
// gives its connection (SO_PEERCRED), one per uid. One thread.
class PortService {
public:
    // `http` are listening TCP sockets, `registration` a listening Unix socket; all are taken
    // over. Throws std::runtime_error when the loop cannot be set up.
    PortService(std::vector<int> http, int registration);
    ~PortService();

    PortService(const PortService&) = delete;
    PortService& operator=(const PortService&) = delete;

    // Runs until the process ends.
    [[noreturn]] void run();

private:
    void acceptHttp(int listener);
    void handOver(int connection);
    void acceptAgent();
    void agentEvent(int fd);
    void forgetAgent(int fd);
    int acceptOne(int listener);
    void logRefusal(long long uid, const std::string& why);

    const int m_epoll;
    std::vector<int> m_http;
    int m_registration;
    int m_spare; // given up to accept, and refuse, a connection when out of descriptors
    PeerOwner m_owners;
    std::map<uid_t, int> m_agents;              // uid -> registration connection
    std::unordered_map<int, uid_t> m_agentUids; // registration connection -> uid
    std::map<long long, std::chrono::steady_clock::time_point> m_refusalsLogged; // -1: unknown
};
