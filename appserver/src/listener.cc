// listener.cc -- the listening socket: bound to the configured address, non-blocking, shared
// by every worker process.
#include "server.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

int openListener(const ServerConfig& config, std::string* address, unsigned* port) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    std::string service = std::to_string(config.options.port);
    int error = getaddrinfo(config.host.c_str(), service.c_str(), &hints, &found);
    if (error != 0 || config.options.port > 65535) {
        serverLog(config, "cannot listen on %s:%u: %s", config.host.c_str(), config.options.port,
                  error != 0 ? gai_strerror(error) : "port out of range");
        if (found != nullptr) freeaddrinfo(found);
        return -1;
    }
    int listener = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (listener >= 0) setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int backlog = static_cast<int>(config.options.backlog > 0 ? config.options.backlog : 1);
    if (listener < 0 || bind(listener, found->ai_addr, found->ai_addrlen) != 0 ||
        listen(listener, backlog) != 0 ||
        fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK) != 0) {
        serverLog(config, "cannot listen on %s:%u: %s", config.host.c_str(), config.options.port,
                  std::strerror(errno));
        if (listener >= 0) close(listener);
        freeaddrinfo(found);
        return -1;
    }
    freeaddrinfo(found);
    sockaddr_storage bound = {};
    socklen_t length = sizeof bound;
    getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
    char host[NI_MAXHOST] = "";
    char serv[NI_MAXSERV] = "";
    getnameinfo(reinterpret_cast<sockaddr*>(&bound), length, host, sizeof host, serv, sizeof serv,
                NI_NUMERICHOST | NI_NUMERICSERV);
    *address = host;
    *port = static_cast<unsigned>(std::strtoul(serv, nullptr, 10));
    return listener;
}
