#include "Handover.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace handover {

bool send(int socket, Message message, int fd) {
    char byte = message;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    if (fd >= 0) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    }
    ssize_t sent;
    do
        sent = ::sendmsg(socket, &header, MSG_DONTWAIT | MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    return sent == 1;
}

ssize_t receive(int socket, char* message, int* fd) {
    *fd = -1;
    iovec data{message, 1};
    // Room for a few: descriptors beyond the first are not ours to keep and are closed.
    alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t got;
    do
        got = ::recvmsg(socket, &header, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        return got;
    for (cmsghdr* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int received;
            std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof received);
            if (*fd < 0)
                *fd = received;
            else
                ::close(received);
        }
    }
    return got;
}

std::string framedAnswer(std::string_view status, std::string_view body) {
    std::string bytes;
    bytes.reserve(220 + body.size());
    bytes.append("HTTP/1.1 ").append(status);
    bytes.append("\r\ncontent-type: application/json\r\n"
                 "access-control-allow-origin: *\r\n"
                 "access-control-allow-methods: GET,POST,OPTIONS\r\n"
                 "access-control-allow-headers: content-type\r\n"
                 "content-length: ");
    bytes.append(std::to_string(body.size())).append("\r\nconnection: close\r\n\r\n");
    return bytes.append(body);
}

void closeWithAnswer(int connection, std::string_view answer) {
    // A refusal fits an empty socket buffer whole; a peer that has gone simply misses it. Our
    // side is shut first so the answer's end arrives before any reset closing over unread
    // input would.
    [[maybe_unused]] const ssize_t sent =
        ::send(connection, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(connection, SHUT_WR);
    ::close(connection);
}

} // namespace handover
