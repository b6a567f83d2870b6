#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>

// What the port service and an agent say over the registration socket, and the one answer the
// service gives itself. Plain C++: both sides link it. Each message is one byte, a connection's
// byte carrying its descriptor (SCM_RIGHTS); reading one byte per call keeps a descriptor with
// the byte it came with.
namespace handover {

inline constexpr const char* kSocketPath = "/run/vantor-companion/agents.sock";

enum Message : char {
    Registered = 'R', // the service hands this uid's connections to this agent from now on
    Taken = 'T',      // another agent of the same uid holds the slot; the socket closes
    Connection = 'C', // an accepted TCP connection, its descriptor attached
};

// Sends `message`, with `fd` attached unless it is -1, without waiting. False with errno set
// when the socket cannot take it now.
bool send(int socket, Message message, int fd = -1);

// Receives one message; a descriptor that came with it goes to `fd` (close-on-exec), -1 if none.
// As recv: 1 for a message, 0 at the end, -1 with errno set.
ssize_t receive(int socket, char* message, int* fd);

// An HTTP/1.1 answer in the framing and headers every answer of the local API has.
std::string framedAnswer(std::string_view status, std::string_view body);

// Writes a short `answer` without waiting and closes the connection, never reading from it.
void closeWithAnswer(int connection, std::string_view answer);

} // namespace handover
