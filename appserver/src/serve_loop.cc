// serve_loop.cc -- one process's serving loop: it accepts connections and reads their requests
// side by side with poll, so that idle or slow peers cost a descriptor and a deadline, never a
// worker; only a complete request reaches the handler. On a graceful stop it drains the listen
// backlog, closes the listener and finishes what it has within the grace period.
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

namespace {

using Clock = std::chrono::steady_clock;

struct Connection {
    int fd;
    std::string peer;
    Clock::time_point deadline;
    dostrel_decoder decoder;
    bool closed = false;

    ~Connection() { delete decoder.request; }
};

struct Loop {
    const ServerConfig& config;
    int listener;
    std::vector<std::unique_ptr<Connection>> open;
    bool atLimitLogged = false;
    Clock::time_point acceptPausedUntil = {};
};

void runHandler(Loop& loop, Connection& connection, dostrel_request* request) {
    const ServerConfig& config = loop.config;
    dostrel_response* response =
        dostrel_response_new(connection.fd, config.options.write_timeout_ms);
    if (response == nullptr) {
        serverLog(config, "no memory for the response to %s", connection.peer.c_str());
    } else {
        try {
            config.handler(request, response, config.userData);
        } catch (...) {
            serverLog(config, "the handler threw an exception on a request from %s",
                      connection.peer.c_str());
        }
        if (dostrel_response_finish(response) != 0)
            serverLog(config, "response to %s not complete: %s", connection.peer.c_str(),
                      std::strerror(dostrel_response_error(response)));
        dostrel_response_free(response);
    }
    dostrel_request_free(request);
}

void closeConnection(Connection& connection) {
    close(connection.fd);
    connection.closed = true;
}

void refuseConnection(Loop& loop, Connection& connection, dostrel_reason reason) {
    serverLog(loop.config, "refused %s: %s", connection.peer.c_str(), dostrel_reason_word(reason));
    closeConnection(connection);
}

// Reads what arrived; a complete request is served at once, a refused one closed.
void advance(Loop& loop, Connection& connection) {
    dostrel_decode_status status = decoderReadAvailable(&connection.decoder, connection.fd);
    if (status == DOSTREL_DONE) {
        runHandler(loop, connection, dostrel_decoder_take(&connection.decoder));
        closeConnection(connection);
    } else if (status == DOSTREL_REFUSED) {
        refuseConnection(loop, connection, dostrel_decoder_reason(&connection.decoder));
    }
}

void dropClosed(Loop& loop) {
    std::erase_if(loop.open, [](const std::unique_ptr<Connection>& c) { return c->closed; });
}

std::size_t connectionLimit(const ServerConfig& config) {
    return config.options.max_connections > 0 ? config.options.max_connections : 1;
}

// Takes what waits in the backlog, up to the connection limit unless |all|.
void acceptWaiting(Loop& loop, bool all) {
    const ServerConfig& config = loop.config;
    for (;;) {
        if (!all && loop.open.size() >= connectionLimit(config)) return;
        sockaddr_storage peer = {};
        socklen_t length = sizeof peer;
        int fd = accept4(loop.listener, reinterpret_cast<sockaddr*>(&peer), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // Out of descriptors or memory: the backlog keeps the peers until there is room.
            serverLog(config, "cannot accept: %s", std::strerror(errno));
            loop.acceptPausedUntil = Clock::now() + std::chrono::milliseconds(100);
            return;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->peer = peerText(peer);
        if (!peerAllowed(config.allow, peer)) {
            refuseConnection(loop, *connection, DOSTREL_NOT_ALLOWED);
            continue;
        }
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        connection->decoder.limits = config.options.limits;
        unsigned timeout = config.options.limits.read_timeout_ms;
        connection->deadline = timeout > 0 ? Clock::now() + std::chrono::milliseconds(timeout)
                                           : Clock::time_point::max();
        // The request is often there already: no round through poll for it.
        advance(loop, *connection);
        if (!connection->closed) loop.open.push_back(std::move(connection));
    }
}

// Refuses what is past its deadline, after one last look at what arrived meanwhile (a long
// handler may have kept this loop from reading).
void expire(Loop& loop, Clock::time_point now) {
    for (auto& connection : loop.open) {
        if (connection->closed || connection->deadline > now) continue;
        advance(loop, *connection);
        if (!connection->closed) refuseConnection(loop, *connection, DOSTREL_TIMEOUT);
    }
    dropClosed(loop);
}

int msUntil(Clock::time_point when, Clock::time_point now) {
    if (when == Clock::time_point::max()) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, 60000));
}

void closeListener(Loop& loop) {
    if (loop.listener < 0) return;
    close(loop.listener);
    loop.listener = -1;
}

void dropAll(Loop& loop, const char* why) {
    if (!loop.open.empty())
        serverLog(loop.config, "%s: %zu connections closed before their request was complete", why,
                  loop.open.size());
    for (auto& connection : loop.open)
        closeConnection(*connection);
    loop.open.clear();
}

} // namespace

void serveConnections(const ServerConfig& config, int listener) {
    Loop loop{config, listener, {}};
    bool draining = false;
    Clock::time_point graceEnd = Clock::time_point::max();
    std::vector<pollfd> fds;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (stopLevel == stopImmediate) {
            closeListener(loop);
            dropAll(loop, "immediate stop");
            return;
        }
        if (stopLevel == stopGraceful && !draining) {
            // Peers in the backlog have been told their connection is open: they are served.
            draining = true;
            graceEnd = now + std::chrono::milliseconds(config.options.grace_ms);
            acceptWaiting(loop, true);
            closeListener(loop);
        }
        if (draining && loop.open.empty()) return;
        if (draining && now >= graceEnd) {
            dropAll(loop, "grace period over");
            return;
        }

        bool accepting = loop.listener >= 0 && now >= loop.acceptPausedUntil &&
                         loop.open.size() < connectionLimit(config);
        if (loop.listener >= 0 && loop.open.size() >= connectionLimit(config)) {
            if (!loop.atLimitLogged)
                serverLog(config,
                          "%zu connections open, the limit: accepting again when one "
                          "closes",
                          loop.open.size());
            loop.atLimitLogged = true;
        } else {
            loop.atLimitLogged = false;
        }
        fds.clear();
        fds.push_back({stopPipe(), POLLIN, 0});
        fds.push_back({accepting ? loop.listener : -1, POLLIN, 0});
        Clock::time_point wake = graceEnd;
        if (loop.listener >= 0 && !accepting && loop.acceptPausedUntil > now)
            wake = std::min(wake, loop.acceptPausedUntil);
        for (auto& connection : loop.open) {
            fds.push_back({connection->fd, POLLIN, 0});
            wake = std::min(wake, connection->deadline);
        }
        int ready = poll(fds.data(), fds.size(), msUntil(wake, now));
        if (ready < 0 && errno != EINTR) {
            serverLog(config, "poll failed: %s", std::strerror(errno));
            closeListener(loop);
            dropAll(loop, "poll failed");
            return;
        }
        if (ready > 0) {
            if (fds[0].revents != 0) drainStopPipe();
            // Connections first: indexes of |fds| follow |open| as it was before any accept.
            std::size_t count = loop.open.size();
            for (std::size_t i = 0; i < count; ++i)
                if (fds[i + 2].revents != 0 && !loop.open[i]->closed) advance(loop, *loop.open[i]);
            dropClosed(loop);
            if (fds[1].revents != 0 && loop.listener >= 0 && stopLevel == stopNone)
                acceptWaiting(loop, false);
        }
        expire(loop, Clock::now());
    }
}
