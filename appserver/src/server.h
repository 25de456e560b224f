// server.h -- what the serving parts share: the checked configuration, the log, the allow-list,
// the listener and its loop, the stop signals, the handler clocks and the response internals.
#pragma once

#include "dostrel/appserver.h"
#include "request_data.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <vector>

/// One allow-list entry: an address and how many leading bits of it must match.
struct AllowEntry {
    int family;
    unsigned char bytes[16];
    unsigned bits;
};

/// The options checked and copied, with the handler to call.
struct ServerConfig {
    dostrel_server_options options;
    std::string host;
    std::string name;
    std::vector<AllowEntry> allow;
    dostrel_handler handler = nullptr;
    void* userData = nullptr;
};

/// What the hooks get: the options' hook_data, else the handler's user data.
inline void* hookData(const ServerConfig& config) {
    return config.options.hook_data != nullptr ? config.options.hook_data : config.userData;
}

/// One line to the log callback, or "NAME[PID]: line" to the log file.
void serverLog(const ServerConfig& config, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

/// Parses "ADDRESS[/BITS],..." (spaces allowed around entries). False with the entry at fault.
bool parseAllowList(const char* text, std::vector<AllowEntry>* entries, std::string* bad);
/// Whether |peer| matches an entry; an empty list allows every peer.
bool peerAllowed(const std::vector<AllowEntry>& entries, const sockaddr_storage& peer);
/// "1.2.3.4:80" or "[::1]:80".
std::string peerText(const sockaddr_storage& peer);

/// A non-blocking listening socket on the configured host and port, or -1 with errno (logged).
/// Sets the bound numeric address and port.
int openListener(const ServerConfig& config, std::string* address, unsigned* port);

/// A connection whose request is being read.
struct PendingConnection {
    std::shared_ptr<Link> link;
    dostrel_decoder decoder;
    bool closed = false;
    bool choosing = false; // at the body: stream_body is to choose, outside the lock

    ~PendingConnection() { delete decoder.request; }
};

/// A request ready for a handler, with the connection it came on; or, when |choosing| is set,
/// a connection at its body for the stream_body choice (|request| is then null).
struct ReadyRequest {
    dostrel_request* request = nullptr;
    std::shared_ptr<Link> link;
    bool head = false; // REQUEST_METHOD HEAD: no length is declared for its answer
    std::unique_ptr<PendingConnection> choosing;
};

/// When a handler started, and for whom: one per serving thread, in memory the arbiter shares,
/// so that it can kill a worker whose handler outlived handler_timeout_ms.
struct HandlerClock {
    // Steady-clock milliseconds, modulo 2^32 (a 32-bit atomic is lock-free, so it works across
    // processes everywhere); 0 while no handler runs.
    std::atomic<std::uint32_t> startedMs;
    char peer[64];
};

struct dostrel_listener {
    ServerConfig config;
    int fd = -1;
    std::string address;
    unsigned port = 0;
    int wake[2] = {-1, -1}; // a byte here wakes the loop: a stop, a signal, a child's end
    int arbiterWake = -1;   // in a worker: the arbiter's wake pipe, to pass a stop on to it
    bool inWorker = false;
    std::atomic<int> stopAsked{0}; // dostrel_listener_stop was called
    std::mutex mutex;              // one thread at a time reads connections
    std::vector<std::unique_ptr<PendingConnection>> open;
    std::deque<ReadyRequest> ready;
    bool draining = false;
    bool finished = false;
    // The stream_body choices, made outside |mutex|: how many are in progress, and the
    // connections whose body is to be buffered, back for the loop to read on.
    std::mutex choiceMutex;
    unsigned choices = 0;
    std::vector<std::unique_ptr<PendingConnection>> chosen;
    bool atLimitLogged = false;
    std::chrono::steady_clock::time_point graceEnd = std::chrono::steady_clock::time_point::max();
    std::chrono::steady_clock::time_point acceptPausedUntil = {};
    HandlerClock* clocks = nullptr; // this worker's, one per thread; null: no time limit

    ~dostrel_listener();
};

/// How far a stop has been asked for; only ever rises while serving.
enum StopLevel { stopNone = 0, stopGraceful = 1, stopImmediate = 2 };
/// What the signals asked of the whole process (lock-free, so signal handlers may set it).
extern std::atomic<int> stopLevel;
/// The stop level for |listener|: the process's, or graceful once the listener was stopped.
int listenerStopLevel(const dostrel_listener* listener);
/// Logs a graceful stop that SIGHUP asked for, once.
void logHangup(const ServerConfig& config);
/// SIGTERM, SIGHUP: graceful; SIGINT, SIGQUIT: immediate; SIGCHLD wakes the polls (arbiter only).
/// Counted: the last server to end puts the previous handlers back.
void installStopSignals(bool watchChildren);
void restoreStopSignals();
/// Makes the signals and dostrel_serve_stop reach |listener|, or no longer: every listener is
/// watched from dostrel_listen to dostrel_listener_close, whoever runs its loop.
bool watchListener(dostrel_listener* listener);
void unwatchListener(dostrel_listener* listener);
/// In a new worker: a wake pipe of its own, no stop asked yet, SIGCHLD as it was.
void resetStopSignalsInWorker(dostrel_listener* listener, pid_t arbiter);
/// Asks for a stop of |level| of the whole process, signal handlers included.
void requestStop(int level);
/// Empties |listener|'s wake pipe; true when a worker passed a stop on through it.
bool drainWakePipe(dostrel_listener* listener);
/// Opens the listener's wake pipe (non-blocking, close-on-exec); false with errno.
bool openWakePipe(dostrel_listener* listener);

/// dostrel_accept without a new response: the request and its connection.
int acceptRequest(dostrel_listener* listener, ReadyRequest* ready);

/// The response internals the server uses.
dostrel_response* responseForLink(std::shared_ptr<Link> link, const dostrel_server_options& options,
                                  bool declareLength);
bool responseSentAny(const dostrel_response* response);
/// Forgets everything gathered (nothing was sent): the response starts over.
void responseStartOver(dostrel_response* response);
