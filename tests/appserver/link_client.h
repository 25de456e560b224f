// link_client.h -- the gateway's side of a link connection, for tests of servers in the test's
// own process: connect, send a request, read the answer until the server ends it.
#pragma once

#include "link_encoding.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

/// A connection to 127.0.0.1:|port|, or -1; with |receiveBuffer| a receive buffer that small.
inline int connectTo(unsigned port, int receiveBuffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    close(fd);
    return -1;
}

/// What the server sends until its end (at most 10 s between reads), "<reset>" appended when
/// it ended in a reset; closes |fd|.
inline std::string answerOn(int fd) {
    std::string answer;
    char block[4096];
    pollfd readable = {fd, POLLIN, 0};
    while (poll(&readable, 1, 10000) == 1) {
        ssize_t got = read(fd, block, sizeof block);
        if (got < 0 && errno == ECONNRESET) answer += "<reset>";
        if (got <= 0) break;
        answer.append(block, static_cast<std::size_t>(got));
    }
    close(fd);
    return answer;
}

/// |bytes| sent on a new connection, and the whole answer.
inline std::string exchangeRaw(unsigned port, const std::string& bytes) {
    int fd = connectTo(port);
    if (fd < 0) return "<no connection>";
    if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()))
        return answerOn(fd);
    close(fd);
    return "<not sent>";
}

/// A request with QUERY_STRING |query| and |body|, and the whole answer.
inline std::string exchange(unsigned port, const std::string& query, const std::string& body = "") {
    return exchangeRaw(port, encodeLinkRequest({1, 0, {{"QUERY_STRING", query}}, body}));
}

/// The answer after its header lines.
inline std::string bodyOf(const std::string& answer) {
    std::size_t end = answer.find("\n\n");
    return end == std::string::npos ? answer : answer.substr(end + 2);
}
