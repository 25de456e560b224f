// socket_pair.h -- a connected pair of local stream sockets for tests, closed with the object.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

struct SocketPair {
    int ends[2] = {-1, -1};
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM, 0, ends); }
    ~SocketPair() {
        for (int end : ends)
            if (end >= 0) close(end);
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;
    /// Closes one end early, as a peer that goes away.
    void closeEnd(int which) {
        close(ends[which]);
        ends[which] = -1;
    }
};
