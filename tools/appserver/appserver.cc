// appserver.cc -- dostrel-appserver: a small link-protocol application server.
//
// It answers every request with a complete CGI response:
//   - QUERY_STRING holding bytes=N: N bytes of a fixed pattern (for large-response checks);
//   - a PATH_INFO ending in /echo: the request body, unchanged;
//   - anything else: an HTML page showing the request as this server received it.
#include "html_text.h"
#include "link_request.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

struct ServerOptions {
    std::string host = "127.0.0.1";
    unsigned port = 0;
    std::string name = "dostrel-appserver";
};

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: dostrel-appserver [--host ADDRESS] [--port N] [--name NAME]\n"
                         "Listens on ADDRESS (127.0.0.1) at port N (0: any free port) and prints\n"
                         "'listening on ADDRESS:PORT' once it accepts connections.\n");
    std::exit(2);
}

ServerOptions parseOptions(int argc, char** argv) {
    ServerOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (i + 1 >= argc) usage();
        std::string value = argv[++i];
        if (option == "--host")
            options.host = value;
        else if (option == "--port")
            options.port = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else if (option == "--name")
            options.name = value;
        else
            usage();
    }
    return options;
}

/// Byte |i| of the pattern that bytes=N answers with.
char patternByte(std::size_t i) {
    return static_cast<char>((i * 7 + i / 251) & 0xFF);
}

bool sendAll(int descriptor, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t sent = send(descriptor, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

std::size_t requestedPatternSize(const LinkRequest& request) {
    const std::string* query = linkRequestValue(request, "QUERY_STRING");
    if (query == nullptr) return 0;
    std::size_t at = query->find("bytes=");
    if (at == std::string::npos) return 0;
    return std::strtoull(query->c_str() + at + 6, nullptr, 10);
}

void sendPattern(int descriptor, std::size_t size) {
    const std::string header = "Content-type: application/octet-stream\n\n";
    if (!sendAll(descriptor, header.data(), header.size())) return;
    char block[65536];
    for (std::size_t done = 0; done < size;) {
        std::size_t count = size - done < sizeof block ? size - done : sizeof block;
        for (std::size_t i = 0; i < count; ++i)
            block[i] = patternByte(done + i);
        if (!sendAll(descriptor, block, count)) return;
        done += count;
    }
}

std::string describeRequest(const LinkRequest& request, const std::string& serverName) {
    const std::string* body = linkRequestBody(request);
    std::string page =
        "Content-type: text/html\n\n"
        "<!DOCTYPE html>\n<html>\n<head><title>" +
        htmlEscaped(serverName) + "</title></head>\n<body>\n<h1>" + htmlEscaped(serverName) +
        "</h1>\n" + "<p>Link request version " + std::to_string(request.majorVersion) + "." +
        std::to_string(request.minorVersion) + ", " + std::to_string(request.keys.size()) +
        " keys, body of " + std::to_string(body == nullptr ? 0 : body->size()) + " bytes.</p>\n" +
        "<table>\n";
    for (const LinkKey& key : request.keys) {
        if (&key == &request.keys.back() && body != nullptr) break;
        page += "<tr><td>" + htmlEscaped(key.name) + "</td><td>" + htmlEscaped(key.value) +
                "</td></tr>\n";
    }
    page += "</table>\n";
    if (body != nullptr && !body->empty()) {
        constexpr std::size_t shown = 4096;
        page += "<h2>Body</h2>\n<pre>" + htmlEscaped(std::string_view(*body).substr(0, shown)) +
                (body->size() > shown ? "\n..." : "") + "</pre>\n";
    }
    return page + "</body>\n</html>\n";
}

void serveConnection(int descriptor, std::string serverName) {
    LinkRequest request;
    if (readLinkRequest(descriptor, &request) == DecodeStatus::Complete) {
        const std::string* pathInfo = linkRequestValue(request, "PATH_INFO");
        const std::string* body = linkRequestBody(request);
        if (std::size_t size = requestedPatternSize(request); size > 0) {
            sendPattern(descriptor, size);
        } else if (pathInfo != nullptr && pathInfo->ends_with("/echo") && body != nullptr) {
            std::string reply = "Content-type: application/octet-stream\n\n" + *body;
            sendAll(descriptor, reply.data(), reply.size());
        } else {
            std::string page = describeRequest(request, serverName);
            sendAll(descriptor, page.data(), page.size());
        }
    }
    close(descriptor);
}

int listenOn(const ServerOptions& options) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(options.port));
    if (inet_pton(AF_INET, options.host.c_str(), &address.sin_addr) != 1) usage();
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 128) != 0) {
        std::fprintf(stderr, "dostrel-appserver: cannot listen on %s:%u: %s\n",
                     options.host.c_str(), options.port, std::strerror(errno));
        std::exit(1);
    }
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("listening on %s:%u\n", options.host.c_str(), ntohs(address.sin_port));
    std::fflush(stdout);
    return listener;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    ServerOptions options = parseOptions(argc, argv);
    int listener = listenOn(options);
    for (;;) {
        int connection = accept(listener, nullptr, nullptr);
        if (connection < 0) continue;
        std::thread(serveConnection, connection, options.name).detach();
    }
}
