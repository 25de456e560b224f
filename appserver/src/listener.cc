// listener.cc -- the listening socket: bound to the configured address, non-blocking, shared
// by every worker process; and the listener object that owns it.
#include "request_data.h"
#include "server.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <new>
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
        errno = EINVAL;
        return -1;
    }
    int listener = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    if (listener >= 0) setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int backlog = static_cast<int>(config.options.backlog > 0 ? config.options.backlog : 1);
    if (listener < 0 || bind(listener, found->ai_addr, found->ai_addrlen) != 0 ||
        listen(listener, backlog) != 0 ||
        fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK) != 0) {
        int error = errno;
        serverLog(config, "cannot listen on %s:%u: %s", config.host.c_str(), config.options.port,
                  std::strerror(error));
        if (listener >= 0) close(listener);
        freeaddrinfo(found);
        errno = error;
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

dostrel_listener::~dostrel_listener() {
    unwatchListener(this);
    if (fd >= 0) close(fd);
    for (int end : wake)
        if (end >= 0) close(end);
    if (arbiterWake >= 0) close(arbiterWake);
    for (ReadyRequest& waiting : ready)
        dostrel_request_free(waiting.request);
}

extern "C" {

dostrel_listener* dostrel_listen(const dostrel_server_options* options) {
    auto* listener = new (std::nothrow) dostrel_listener;
    if (listener == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    ServerConfig& config = listener->config;
    // A later caller's larger options, or an older caller's smaller ones: the fields this side
    // does not share keep their defaults. Every caller has at least the fields of 1.0.
    constexpr std::size_t firstSize = offsetof(dostrel_server_options, cgi_head) + sizeof(int);
    dostrel_server_options_default(&config.options);
    bool sized = options->size >= firstSize;
    if (sized)
        std::memcpy(&config.options, options, std::min(options->size, sizeof config.options));
    config.options.size = sizeof config.options;
    config.host = config.options.host ? config.options.host : "127.0.0.1";
    config.name = config.options.name ? config.options.name : "dostrel-appserver";
    config.options.host = config.host.c_str();
    config.options.name = config.name.c_str();
    const char* allow = config.options.allow;
    config.options.allow = nullptr; // parsed below; the caller's text may go
    std::string bad;
    int error = 0;
    if (!sized) {
        serverLog(config, "options not filled by dostrel_server_options_default (size %zu)",
                  options->size);
        error = EINVAL;
    } else if (!parseAllowList(allow, &config.allow, &bad)) {
        serverLog(config, "not an address or address/bits in the allow-list: '%s'", bad.c_str());
        error = EINVAL;
    } else if (!openWakePipe(listener)) {
        error = errno;
        serverLog(config, "cannot make a pipe: %s", std::strerror(error));
    } else if (!watchListener(listener)) {
        error = EMFILE;
        serverLog(config, "too many listeners in one process");
    } else {
        listener->fd = openListener(config, &listener->address, &listener->port);
        if (listener->fd < 0) error = errno;
    }
    if (error != 0) {
        delete listener;
        errno = error;
        return nullptr;
    }
    return listener;
}

const char* dostrel_listener_address(const dostrel_listener* listener) {
    return listener->address.c_str();
}

unsigned dostrel_listener_port(const dostrel_listener* listener) {
    return listener->port;
}

void dostrel_listener_close(dostrel_listener* listener) {
    delete listener; // no dostrel_accept may be running on it any more
}

} // extern "C"
