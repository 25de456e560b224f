// link.cc -- how a served connection ends: in order after a complete response, with a reset
// after any other end, so that a cut answer never passes for a complete one.
#include "request_data.h"
#include "server.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

void linkLinger(int fd, bool reset) {
    linger value = {reset ? 1 : 0, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

namespace {

// Reads and drops what is left of a streamed body, within the read time limit. A close with
// unread bytes in the socket would reset it although the answer was whole.
bool dropBodyRest(Link& link) {
    char block[65536];
    while (link.bodyLeft > 0 && !link.bodyFailed) {
        int wait = 60000;
        if (link.deadline != std::chrono::steady_clock::time_point::max()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                link.deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            wait = static_cast<int>(std::min<long long>(left.count() + 1, 60000));
        }
        pollfd readable = {link.fd, POLLIN, 0};
        int polled = poll(&readable, 1, wait);
        if (polled < 0 && errno != EINTR) return false;
        if (polled <= 0) continue;
        ssize_t got =
            recv(link.fd, block, link.bodyLeft < sizeof block ? link.bodyLeft : sizeof block,
                 MSG_DONTWAIT);
        if (got == 0) return false;
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        link.bodyLeft -= static_cast<std::uint64_t>(got);
    }
    return !link.bodyFailed;
}

} // namespace

void linkEndInOrder(Link& link) {
    if (link.fd < 0) return;
    if (!dropBodyRest(link)) return linkReset(link);
    linkLinger(link.fd, false);
    close(link.fd);
    link.fd = -1;
}

void linkReset(Link& link) {
    if (link.fd < 0) return;
    linkLinger(link.fd, true);
    close(link.fd);
    link.fd = -1;
}

Link::~Link() {
    linkReset(*this);
}
