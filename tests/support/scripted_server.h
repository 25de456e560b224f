// scripted_server.h -- a link-protocol server on 127.0.0.1 that the process tests script.
#pragma once

#include "link_encoding.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

/// One step of the server's reply.
struct ReplyStep {
    std::string bytes; // sent in one go
    int pauseMs = 0;   // then a pause
};

/// What the server does with its one connection.
struct ServerScript {
    bool readRequest = true;      // read the request by its framing before replying
    std::size_t readOnly = 0;     // when not 0: read only this many bytes, not the request
    bool hashOnly = false;        // with readOnly: keep their count and hash, not the bytes
    int pauseBeforeReadMs = 0;    // wait this long after accepting before reading
    std::vector<ReplyStep> reply; // the reply, step by step
    bool resetAtEnd = false;      // end with a reset instead of an orderly close
};

/// FNV-1a over bytes, continued from |hash|: a check of a stream too large to keep.
constexpr std::uint64_t fnvStart = 14695981039346656037ull;
std::uint64_t fnvHash(std::uint64_t hash, const char* bytes, std::size_t length);

/// Listens on 127.0.0.1 at a port of its own choosing and serves one connection by its script.
/// The destructor stops it whether or not a connection came.
struct ScriptedServer {
    explicit ScriptedServer(ServerScript script);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    /// Waits until the connection has been served; false when none came in |seconds|.
    bool waitServed(int seconds = 30);

    std::uint16_t port = 0;
    ServerScript script;
    std::string requestBytes;           // every byte read from the gateway
    LinkRequest request;                // the decoded request
    dostrel_reason reason = DOSTREL_OK; // why the request was refused, if it was
    bool decoded = false;               // a whole request was read
    bool replyComplete = false;         // every reply byte was taken by the connection
    std::uint64_t readHash = fnvStart;  // with hashOnly: the hash of the bytes read
    std::size_t readCount = 0;          // with hashOnly: how many there were

  private:
    void serve();
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::atomic<bool> served{false};
    std::thread worker;
};

/// A TCP port on 127.0.0.1 on which nothing listens (just now).
std::uint16_t unusedPort();
