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

long long linkReadBody(Link& link, void* buffer, std::size_t size, dostrel_reason* reason) {
    using Clock = std::chrono::steady_clock;
    std::size_t want = link.bodyLeft < size ? static_cast<std::size_t>(link.bodyLeft) : size;
    if (want == 0) return 0;
    for (;;) {
        ssize_t got = recv(link.fd, buffer, want, MSG_DONTWAIT);
        if (got > 0) {
            link.bodyLeft -= static_cast<std::uint64_t>(got);
            return got;
        }
        if (got < 0 && errno == EINTR) continue;
        *reason = DOSTREL_TRUNCATED;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(link.deadline - Clock::now());
        if (link.deadline != Clock::time_point::max() && left.count() <= 0) {
            *reason = DOSTREL_TIMEOUT;
            errno = ETIMEDOUT;
            return -1;
        }
        pollfd readable = {link.fd, POLLIN, 0};
        int wait = link.deadline == Clock::time_point::max()
                       ? -1
                       : static_cast<int>(std::min<long long>(left.count() + 1, 60000));
        if (poll(&readable, 1, wait) < 0 && errno != EINTR) break;
    }
    errno = ECONNRESET;
    return -1;
}

namespace {

// Reads and drops what is left of a streamed body, within the read time limit. A close with
// unread bytes in the socket would reset it although the answer was whole.
bool dropBodyRest(Link& link) {
    char block[65536];
    dostrel_reason reason;
    while (link.bodyLeft > 0 && !link.bodyFailed)
        if (linkReadBody(link, block, sizeof block, &reason) < 0) return false;
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
