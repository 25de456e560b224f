// server.h -- what the serving parts share: the checked configuration, the log, the allow-list,
// the listener, the stop signals and the loop that serves connections.
#pragma once

#include "dostrel/appserver.h"

#include <csignal>
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
    dostrel_handler handler;
    void* userData;
};

/// One line to the log callback, or "NAME[PID]: line" to the log file.
void serverLog(const ServerConfig& config, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

/// Parses "ADDRESS[/BITS],..." (spaces allowed around entries). False with the entry at fault.
bool parseAllowList(const char* text, std::vector<AllowEntry>* entries, std::string* bad);
/// Whether |peer| matches an entry; an empty list allows every peer.
bool peerAllowed(const std::vector<AllowEntry>& entries, const sockaddr_storage& peer);
/// "1.2.3.4:80" or "[::1]:80".
std::string peerText(const sockaddr_storage& peer);

/// A non-blocking listening socket on the configured host and port, or -1 (logged). Sets the
/// bound numeric address and port.
int openListener(const ServerConfig& config, std::string* address, unsigned* port);

/// How far a stop has been asked for; only ever rises while serving.
enum StopLevel { stopNone = 0, stopGraceful = 1, stopImmediate = 2 };
extern volatile std::sig_atomic_t stopLevel;
/// The read end of the pipe that the signal handlers write a byte to, to wake a poll.
int stopPipe();
/// SIGTERM: graceful; SIGINT, SIGQUIT: immediate; SIGCHLD wakes the poll (arbiter only).
void installStopSignals(bool watchChildren);
void restoreStopSignals();
/// In a new worker: a pipe of its own, no stop asked yet, SIGCHLD as it was.
void resetStopSignalsInWorker(pid_t arbiter);
/// Asks for a stop of |level| from anywhere, signal handlers included.
void requestStop(int level);
/// Empties the pipe after a wake.
void drainStopPipe();

/// Accepts and serves connections on |listener| until a stop, closing the listener when it
/// stops taking connections (after draining the backlog on a graceful stop).
void serveConnections(const ServerConfig& config, int listener);
