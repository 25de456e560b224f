// serve_loop.cc -- dostrel_accept: one process's loop over its connections. It accepts
// connections and reads their requests side by side with poll, so that idle or slow peers cost
// a descriptor and a deadline, never a handler; only a complete request (or, for a body the
// application streams, its variables) is handed out. On a graceful stop it drains the listen
// backlog, closes the listener and hands out what it has within the grace period. Threads take
// turns: one reads, the others wait for the mutex or run handlers.
#include "request_data.h"
#include "server.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

void closeConnection(PendingConnection& connection) {
    Link& link = *connection.link;
    if (link.fd >= 0) { // nothing was answered: an orderly close
        linkLinger(link.fd, false);
        close(link.fd);
    }
    link.fd = -1;
    connection.closed = true;
}

void refuseConnection(dostrel_listener& l, PendingConnection& connection, dostrel_reason reason) {
    serverLog(l.config, "refused %s: %s", connection.link->peer.c_str(),
              dostrel_reason_word(reason));
    closeConnection(connection);
}

bool isHead(const dostrel_request* request) {
    const char* method = dostrel_request_get(request, "REQUEST_METHOD", nullptr);
    return method != nullptr && std::strcmp(method, "HEAD") == 0;
}

// Hands the request out: it leaves the loop with its connection.
void makeReady(dostrel_listener& l, PendingConnection& connection, dostrel_request* request) {
    l.ready.push_back({request, connection.link, isHead(request), nullptr});
    connection.closed = true;
}

// Reads what arrived; a complete request is handed out, a refused one closed. At the body, the
// connection leaves the loop for the application's choice whether to stream it, which
// acceptRequest asks outside the lock.
void advance(dostrel_listener& l, PendingConnection& connection) {
    dostrel_decoder& decoder = connection.decoder;
    dostrel_decode_status status = decoderReadAvailable(&decoder, connection.link->fd);
    if (status == DOSTREL_NEED_MORE && decoderAtBody(&decoder)) {
        connection.choosing = true;
        connection.closed = true;
    } else if (status == DOSTREL_DONE) {
        makeReady(l, connection, dostrel_decoder_take(&decoder));
    } else if (status == DOSTREL_REFUSED) {
        refuseConnection(l, connection, dostrel_decoder_reason(&decoder));
    }
}

// A connection at its body goes to the queue, for the next acceptRequest to choose.
void park(dostrel_listener& l, std::unique_ptr<PendingConnection> connection) {
    connection->choosing = false;
    connection->closed = false; // it comes back to the loop if its body is buffered
    ReadyRequest waiting;
    waiting.link = connection->link;
    waiting.choosing = std::move(connection);
    l.ready.push_back(std::move(waiting));
}

// Connections whose body the application chose to buffer come back to be read on.
void takeBack(dostrel_listener& l) {
    std::vector<std::unique_ptr<PendingConnection>> back;
    {
        std::lock_guard<std::mutex> lock(l.choiceMutex);
        back.swap(l.chosen);
    }
    for (auto& connection : back) {
        advance(l, *connection);
        if (!connection->closed) l.open.push_back(std::move(connection));
    }
}

bool choicesPending(dostrel_listener& l) {
    std::lock_guard<std::mutex> lock(l.choiceMutex);
    return l.choices > 0 || !l.chosen.empty();
}

void dropClosed(dostrel_listener& l) {
    for (auto& connection : l.open)
        if (connection->choosing) park(l, std::move(connection));
    std::erase_if(l.open, [](const std::unique_ptr<PendingConnection>& c) {
        return c == nullptr || c->closed;
    });
}

std::size_t connectionLimit(const dostrel_listener& l) {
    return l.config.options.max_connections > 0 ? l.config.options.max_connections : 1;
}

// Takes what waits in the backlog, up to the connection limit unless |all|.
void acceptWaiting(dostrel_listener& l, bool all) {
    const ServerConfig& config = l.config;
    for (;;) {
        if (!all && l.open.size() >= connectionLimit(l)) return;
        sockaddr_storage peer = {};
        socklen_t length = sizeof peer;
        int fd = accept4(l.fd, reinterpret_cast<sockaddr*>(&peer), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // Out of descriptors or memory: the backlog keeps the peers until there is room.
            serverLog(config, "cannot accept: %s", std::strerror(errno));
            l.acceptPausedUntil = Clock::now() + std::chrono::milliseconds(100);
            return;
        }
        auto connection = std::make_unique<PendingConnection>();
        connection->link = std::make_shared<Link>();
        Link& link = *connection->link;
        link.fd = fd;
        link.peer = peerText(peer);
        link.config = &l.config;
        if (!peerAllowed(config.allow, peer)) {
            refuseConnection(l, *connection, DOSTREL_NOT_ALLOWED);
            continue;
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // From now on any end but the orderly one resets the connection: a worker that dies
        // before its handler has run leaves the gateway a cut answer, not an empty one.
        linkLinger(fd, true);
        connection->decoder.limits = config.options.limits;
        connection->decoder.pauseAtBody = config.options.stream_body != nullptr;
        unsigned timeout = config.options.limits.read_timeout_ms;
        link.deadline = timeout > 0 ? Clock::now() + std::chrono::milliseconds(timeout)
                                    : Clock::time_point::max();
        // The request is often there already: no round through poll for it.
        advance(l, *connection);
        if (connection->choosing)
            park(l, std::move(connection));
        else if (!connection->closed)
            l.open.push_back(std::move(connection));
    }
}

// Refuses what is past its deadline, after one last look at what arrived meanwhile (a long
// handler may have kept this loop from reading).
void expire(dostrel_listener& l, Clock::time_point now) {
    for (auto& connection : l.open) {
        if (connection->closed || connection->link->deadline > now) continue;
        advance(l, *connection);
        if (!connection->closed) refuseConnection(l, *connection, DOSTREL_TIMEOUT);
    }
    dropClosed(l);
}

int msUntil(Clock::time_point when, Clock::time_point now) {
    if (when == Clock::time_point::max()) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, 60000));
}

void closeListener(dostrel_listener& l) {
    if (l.fd < 0) return;
    close(l.fd);
    l.fd = -1;
}

// Connections cut short by a stop are reset (their links go with them).
void dropAll(dostrel_listener& l, const char* why) {
    if (!l.open.empty())
        serverLog(l.config, "%s: %zu connections closed before their request was complete", why,
                  l.open.size());
    l.open.clear();
}

// One round: stop handling, one poll, reading what it reports. False once the loop is over,
// with errno ESHUTDOWN after a stop or the failed call's.
bool loopOnce(dostrel_listener& l, std::vector<pollfd>& fds) {
    const ServerConfig& config = l.config;
    takeBack(l);
    if (!l.ready.empty()) return true;
    Clock::time_point now = Clock::now();
    int level = listenerStopLevel(&l);
    if (level == stopImmediate) {
        closeListener(l);
        dropAll(l, "immediate stop");
        errno = ESHUTDOWN;
        return false;
    }
    if (level == stopGraceful && !l.draining) {
        // Peers in the backlog have been told their connection is open: they are served.
        l.draining = true;
        if (!l.inWorker) logHangup(config);
        l.graceEnd = now + std::chrono::milliseconds(config.options.grace_ms);
        if (l.fd >= 0) acceptWaiting(l, true);
        closeListener(l);
        if (!l.ready.empty()) return true;
    }
    if (l.draining && ((l.open.empty() && !choicesPending(l)) || now >= l.graceEnd)) {
        dropAll(l, "grace period over");
        errno = ESHUTDOWN;
        return false;
    }

    bool accepting = l.fd >= 0 && now >= l.acceptPausedUntil && l.open.size() < connectionLimit(l);
    if (l.fd >= 0 && l.open.size() >= connectionLimit(l)) {
        if (!l.atLimitLogged)
            serverLog(config, "%zu connections open, the limit: accepting again when one closes",
                      l.open.size());
        l.atLimitLogged = true;
    } else {
        l.atLimitLogged = false;
    }
    fds.clear();
    fds.push_back({l.wake[0], POLLIN, 0});
    fds.push_back({accepting ? l.fd : -1, POLLIN, 0});
    Clock::time_point wake = l.graceEnd;
    if (l.fd >= 0 && !accepting && l.acceptPausedUntil > now)
        wake = std::min(wake, l.acceptPausedUntil);
    for (auto& connection : l.open) {
        fds.push_back({connection->link->fd, POLLIN, 0});
        wake = std::min(wake, connection->link->deadline);
    }
    int ready = poll(fds.data(), fds.size(), msUntil(wake, now));
    if (ready < 0 && errno != EINTR) {
        int error = errno;
        serverLog(config, "poll failed: %s", std::strerror(error));
        closeListener(l);
        dropAll(l, "poll failed");
        errno = error;
        return false;
    }
    if (ready > 0) {
        if (fds[0].revents != 0 && drainWakePipe(&l)) l.stopAsked = 1;
        // Connections first: indexes of |fds| follow |open| as it was before any accept.
        std::size_t count = l.open.size();
        for (std::size_t i = 0; i < count; ++i)
            if (fds[i + 2].revents != 0 && !l.open[i]->closed) advance(l, *l.open[i]);
        dropClosed(l);
        if (fds[1].revents != 0 && l.fd >= 0 && listenerStopLevel(&l) == stopNone)
            acceptWaiting(l, false);
    }
    expire(l, Clock::now());
    return true;
}

} // namespace

namespace {

// Asks stream_body, outside the listener's lock so that a slow choice holds up no other thread.
// A streamed body's request is handed out at once (true); a buffered one goes back to the loop,
// whose poll is woken for it.
bool choose(dostrel_listener& l, std::unique_ptr<PendingConnection> connection, ReadyRequest* out) {
    const ServerConfig& config = l.config;
    dostrel_decoder& decoder = connection->decoder;
    decoder.pauseAtBody = false;
    bool stream = config.options.stream_body(decoder.request, hookData(config)) != 0;
    if (stream) {
        dostrel_request* request = std::exchange(decoder.request, nullptr);
        connection->link->bodyLeft = request->contentLength;
        request->link = connection->link;
        *out = {request, connection->link, isHead(request), nullptr};
    }
    std::lock_guard<std::mutex> lock(l.choiceMutex);
    --l.choices;
    if (stream) return true;
    l.chosen.push_back(std::move(connection));
    ssize_t ignored = write(l.wake[1], "", 1);
    (void)ignored;
    return false;
}

} // namespace

int acceptRequest(dostrel_listener* listener, ReadyRequest* out) {
    std::unique_lock<std::mutex> lock(listener->mutex);
    std::vector<pollfd> fds;
    for (;;) {
        if (!listener->ready.empty()) {
            ReadyRequest next = std::move(listener->ready.front());
            listener->ready.pop_front();
            if (next.choosing == nullptr) {
                *out = std::move(next);
                return 0;
            }
            {
                std::lock_guard<std::mutex> choiceLock(listener->choiceMutex);
                ++listener->choices;
            }
            lock.unlock();
            if (choose(*listener, std::move(next.choosing), out)) return 0;
            lock.lock();
            continue;
        }
        if (listener->finished) {
            errno = ESHUTDOWN;
            return -1;
        }
        if (!loopOnce(*listener, fds) && listener->ready.empty()) {
            listener->finished = true;
            return -1;
        }
    }
}

extern "C" int dostrel_accept(dostrel_listener* listener, dostrel_request** request,
                              dostrel_response** response) {
    ReadyRequest ready;
    if (acceptRequest(listener, &ready) != 0) return -1;
    *response = responseForLink(ready.link, listener->config.options, !ready.head);
    if (*response == nullptr) {
        serverLog(listener->config, "no memory for the response to %s", ready.link->peer.c_str());
        dostrel_request_free(ready.request);
        errno = ENOMEM;
        return -1;
    }
    *request = ready.request;
    return 0;
}
