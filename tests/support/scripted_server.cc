// scripted_server.cc -- the scripted link-protocol server of the process tests.
#include "scripted_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int listenOnLoopback(std::uint16_t* port) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener, 8);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    *port = ntohs(address.sin_port);
    return listener;
}

bool sendEverything(int connection, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t sent = send(connection, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

void readSome(int connection, std::size_t count, std::string* into) {
    char block[65536];
    while (count > 0) {
        ssize_t got = read(connection, block, count < sizeof block ? count : sizeof block);
        if (got <= 0) return;
        into->append(block, static_cast<std::size_t>(got));
        count -= static_cast<std::size_t>(got);
    }
}

// Reads |count| bytes, hashing them as they pass.
void hashSome(int connection, std::size_t count, std::uint64_t* hash, std::size_t* total) {
    std::vector<char> block(1 << 20);
    while (count > 0) {
        ssize_t got = read(connection, block.data(), std::min(count, block.size()));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        *hash = fnvHash(*hash, block.data(), static_cast<std::size_t>(got));
        *total += static_cast<std::size_t>(got);
        count -= static_cast<std::size_t>(got);
    }
}

// Reads the request through the library's decoder, never past its end, keeping its bytes.
dostrel_reason readRequest(int connection, std::string* bytes, LinkRequest* request) {
    dostrel_decoder* decoder = dostrel_decoder_new(nullptr);
    char block[65536];
    while (dostrel_decoder_needed(decoder) > 0) {
        std::size_t want = std::min(dostrel_decoder_needed(decoder), sizeof block);
        ssize_t got = read(connection, block, want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            dostrel_decoder_end(decoder);
            break;
        }
        bytes->append(block, static_cast<std::size_t>(got));
        dostrel_decoder_feed(decoder, block, static_cast<std::size_t>(got), nullptr);
    }
    dostrel_reason reason = dostrel_decoder_reason(decoder);
    if (dostrel_request* decoded = dostrel_decoder_take(decoder)) {
        *request = linkRequestOf(decoded);
        dostrel_request_free(decoded);
    }
    dostrel_decoder_free(decoder);
    return reason;
}

// Closing with a zero linger time sends a reset instead of an orderly end.
void resetConnection(int connection) {
    linger abort = {1, 0};
    setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(connection);
}

} // namespace

ScriptedServer::ScriptedServer(ServerScript serverScript) : script(std::move(serverScript)) {
    listener = listenOnLoopback(&port);
    worker = std::thread([this] { serve(); });
}

ScriptedServer::~ScriptedServer() {
    stopping = true;
    worker.join();
    close(listener);
}

bool ScriptedServer::waitServed(int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!served && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return served;
}

void ScriptedServer::serve() {
    int connection = -1;
    while (!stopping && connection < 0) {
        pollfd waiting = {listener, POLLIN, 0};
        if (poll(&waiting, 1, 50) == 1)
            connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    if (connection < 0) return;
    if (script.pauseBeforeReadMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(script.pauseBeforeReadMs));
    if (script.readOnly > 0 && script.hashOnly)
        hashSome(connection, script.readOnly, &readHash, &readCount);
    else if (script.readOnly > 0)
        readSome(connection, script.readOnly, &requestBytes);
    else if (script.readRequest)
        decoded = (reason = readRequest(connection, &requestBytes, &request)) == DOSTREL_OK;
    replyComplete = true;
    for (const ReplyStep& step : script.reply) {
        replyComplete = replyComplete && sendEverything(connection, step.bytes);
        if (step.pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(step.pauseMs));
    }
    if (script.resetAtEnd)
        resetConnection(connection);
    else
        close(connection);
    served = true;
}

std::uint64_t fnvHash(std::uint64_t hash, const char* bytes, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i)
        hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    return hash;
}

std::uint16_t unusedPort() {
    std::uint16_t port;
    int listener = listenOnLoopback(&port);
    close(listener);
    return port;
}
