// appserver.cc -- dostrel-appserver: a small link-protocol application server.
//
// It answers every request with a complete CGI response, chosen by the query string:
//   - bytes=N: N bytes of a fixed pattern (for large-response checks);
//   - echo: the request body, unchanged;
//   - keys: every key as it arrived, one "name=value" line each (the content key left out);
//   - anything else: an HTML page showing the request as this server received it.
// Every response carries the header "X-Appserver: NAME", so that a client sees which server
// answered.
#include "html_text.h"
#include "link_request_reader.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

struct ServerOptions {
    std::string host = "127.0.0.1";
    unsigned port = 0;
    std::string name = "dostrel-appserver";
    bool serial = false; // serve each connection in turn, without a thread of its own
    std::string record;  // when set: each request's bytes go to RECORD-1.bin, RECORD-2.bin, ...
};

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: dostrel-appserver [--host ADDRESS] [--port N] [--name NAME] [--serial]\n"
                 "                         [--record PREFIX]\n"
                 "       dostrel-appserver --print-pattern N\n"
                 "Listens on ADDRESS (127.0.0.1) at port N (0: any free port) and prints\n"
                 "'listening on ADDRESS:PORT' once it accepts connections. --print-pattern\n"
                 "writes the N bytes that a request with bytes=N in its query string gets.\n");
    std::exit(2);
}

/// The pattern that bytes=N answers with: byte i is (7i + i/251) mod 256, every byte value with
/// no short period. It repeats after 251 * 256 bytes, so one period is computed once and sent
/// from as often as needed.
constexpr std::size_t patternPeriod = 251 * 256;

const char* patternPeriodBytes() {
    static char bytes[patternPeriod];
    static bool filled = false;
    if (!filled) {
        for (std::size_t i = 0; i < patternPeriod; ++i)
            bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        filled = true;
    }
    return bytes;
}

/// The next at most |limit| bytes of the pattern from position |done| on.
std::size_t patternChunk(std::size_t done, std::size_t limit, const char** chunk) {
    std::size_t offset = done % patternPeriod;
    *chunk = patternPeriodBytes() + offset;
    return std::min(limit, patternPeriod - offset);
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

bool sendText(int descriptor, const std::string& text) {
    return sendAll(descriptor, text.data(), text.size());
}

/// Whether the query string holds |word| as one of its &-separated parameters (or its name).
bool queryHas(const std::string& query, const std::string& word, std::string* value) {
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        std::string parameter = query.substr(start, end - start);
        std::size_t equals = parameter.find('=');
        if (parameter.substr(0, equals) == word) {
            if (value != nullptr)
                *value = equals == std::string::npos ? "" : parameter.substr(equals + 1);
            return true;
        }
        start = end + 1;
    }
    return false;
}

std::string header(const std::string& serverName, const char* contentType) {
    return "Content-type: " + std::string(contentType) + "\nX-Appserver: " + serverName + "\n\n";
}

// The header leaves with the first part of the pattern: a small response is one send, so the
// client never waits on a second segment.
void sendPattern(int descriptor, const std::string& serverName, std::size_t size) {
    const char* chunk;
    std::size_t count = patternChunk(0, size, &chunk);
    std::string first = header(serverName, "application/octet-stream").append(chunk, count);
    if (!sendText(descriptor, first)) return;
    for (std::size_t done = count; done < size;) {
        count = patternChunk(done, size - done, &chunk);
        if (!sendAll(descriptor, chunk, count)) return;
        done += count;
    }
}

std::string listKeys(const LinkRequest& request, const std::string& serverName) {
    std::string text = header(serverName, "text/plain");
    for (const LinkKey& key : request.keys)
        if (&key != &request.keys.back() || linkRequestBody(request) == nullptr)
            text += key.name + "=" + key.value + "\n";
    return text;
}

std::string describeRequest(const LinkRequest& request, const std::string& serverName) {
    const std::string* body = linkRequestBody(request);
    std::string page =
        header(serverName, "text/html") + "<!DOCTYPE html>\n<html>\n<head><title>" +
        htmlEscaped(serverName) +
        "</title>\n<style>body{font-family:sans-serif;margin:2em}"
        "table{border-collapse:collapse}td{border:1px solid #ccc;padding:2px 8px;"
        "font-family:monospace;vertical-align:top}</style>\n</head>\n<body>\n<h1>" +
        htmlEscaped(serverName) + "</h1>\n" + "<p>Link request version " +
        std::to_string(request.majorVersion) + "." + std::to_string(request.minorVersion) + ", " +
        std::to_string(request.keys.size()) + " keys, body of " +
        std::to_string(body == nullptr ? 0 : body->size()) + " bytes.</p>\n" + "<table>\n";
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

void answer(int descriptor, const LinkRequest& request, const std::string& serverName) {
    const std::string* queryValue = linkRequestValue(request, "QUERY_STRING");
    std::string query = queryValue == nullptr ? "" : *queryValue;
    const std::string* body = linkRequestBody(request);
    std::string size;
    if (queryHas(query, "bytes", &size))
        sendPattern(descriptor, serverName, std::strtoull(size.c_str(), nullptr, 10));
    else if (queryHas(query, "echo", nullptr))
        sendText(descriptor, header(serverName, "application/octet-stream") +
                                 (body == nullptr ? std::string() : *body));
    else if (queryHas(query, "keys", nullptr))
        sendText(descriptor, listKeys(request, serverName));
    else
        sendText(descriptor, describeRequest(request, serverName));
}

// Keeps the request's bytes exactly as they arrived, for tests that compare the wire.
void recordRequest(const std::string& prefix, const std::string& bytes) {
    static std::atomic<unsigned> count{0};
    std::string name = prefix + "-" + std::to_string(++count) + ".bin";
    if (std::FILE* file = std::fopen(name.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
}

void serveConnection(int descriptor, ServerOptions options) {
    LinkRequest request;
    std::string raw;
    DecodeStatus status = readLinkRequest(descriptor, &request, &raw);
    if (!options.record.empty()) recordRequest(options.record, raw);
    if (status == DecodeStatus::Complete) answer(descriptor, request, options.name);
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

int printPattern(const char* sizeText) {
    std::size_t size = std::strtoull(sizeText, nullptr, 10);
    for (std::size_t done = 0; done < size;) {
        const char* chunk;
        std::size_t count = patternChunk(done, size - done, &chunk);
        if (std::fwrite(chunk, 1, count, stdout) != count) return 1;
        done += count;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}

ServerOptions parseOptions(int argc, char** argv) {
    ServerOptions options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--serial") {
            options.serial = true;
            continue;
        }
        if (i + 1 >= argc) usage();
        std::string value = argv[++i];
        if (option == "--host")
            options.host = value;
        else if (option == "--port")
            options.port = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else if (option == "--name")
            options.name = value;
        else if (option == "--record")
            options.record = value;
        else
            usage();
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--print-pattern") == 0) return printPattern(argv[2]);
    std::signal(SIGPIPE, SIG_IGN);
    ServerOptions options = parseOptions(argc, argv);
    int listener = listenOn(options);
    for (;;) {
        int connection = accept(listener, nullptr, nullptr);
        if (connection < 0) continue;
        int on = 1;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (options.serial)
            serveConnection(connection, options);
        else
            std::thread(serveConnection, connection, options).detach();
    }
}
