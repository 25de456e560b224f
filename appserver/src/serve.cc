// serve.cc -- dostrel_serve: the listener, then either the serving loop in this process or an
// arbiter that keeps a fixed number of worker processes running on the shared listener,
// replaces those that die, and stops them gracefully or at once.
#include "server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Worker {
    pid_t pid = 0;
    Clock::time_point started;
};

// Every idle connection holds a descriptor: take all that the hard limit allows.
void raiseDescriptorLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string exitText(int status) {
    if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

pid_t startWorker(const ServerConfig& config, int listener) {
    std::fflush(nullptr); // nothing buffered before the fork is written twice
    pid_t arbiter = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        resetStopSignalsInWorker(arbiter);
#ifdef __linux__
        // A worker whose arbiter is gone (killed outright) stops too, gracefully.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != arbiter) requestStop(stopGraceful);
#endif
        serveConnections(config, listener);
        std::fflush(nullptr);
        _exit(0);
    }
    if (pid < 0) serverLog(config, "cannot start a worker: %s", std::strerror(errno));
    return pid;
}

void signalAll(std::vector<Worker>& workers, int number) {
    for (Worker& worker : workers)
        if (worker.pid > 0) kill(worker.pid, number);
}

std::size_t running(const std::vector<Worker>& workers) {
    std::size_t count = 0;
    for (const Worker& worker : workers)
        count += worker.pid > 0 ? 1 : 0;
    return count;
}

int runArbiter(const ServerConfig& config, int listener) {
    std::vector<Worker> workers(config.options.workers);
    for (Worker& worker : workers) {
        worker.pid = std::max(startWorker(config, listener), pid_t{0}); // 0: start it later
        worker.started = Clock::now();
    }
    int level = stopNone;
    Clock::time_point deadline = Clock::time_point::max();
    Clock::time_point nextStart = Clock::now();
    for (;;) {
        pid_t pid;
        int status;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
            for (Worker& worker : workers) {
                if (worker.pid != pid) continue;
                worker.pid = 0;
                if (level != stopNone) break;
                serverLog(config, "worker %ld %s; starting another", static_cast<long>(pid),
                          exitText(status).c_str());
                // A worker dying as soon as it starts would otherwise be restarted in a loop.
                if (Clock::now() - worker.started < std::chrono::seconds(1))
                    nextStart = Clock::now() + std::chrono::seconds(1);
            }
        }
        Clock::time_point now = Clock::now();
        if (stopLevel > level) {
            level = stopLevel;
            close(listener); // the workers hold it open until they have drained it
            if (level == stopGraceful) {
                signalAll(workers, SIGTERM);
                deadline = now + std::chrono::milliseconds(config.options.grace_ms) +
                           std::chrono::seconds(2);
            } else {
                signalAll(workers, SIGINT);
                deadline = now + std::chrono::seconds(2);
            }
        }
        if (level != stopNone && running(workers) == 0) return 0;
        if (level != stopNone && now >= deadline) {
            serverLog(config, "%zu workers still running after the grace period: killed",
                      running(workers));
            signalAll(workers, SIGKILL);
            for (Worker& worker : workers)
                if (worker.pid > 0) waitpid(worker.pid, nullptr, 0);
            return 0;
        }
        Clock::time_point wake = deadline;
        if (level == stopNone) {
            for (Worker& worker : workers) {
                if (worker.pid != 0) continue;
                if (now < nextStart) {
                    wake = std::min(wake, nextStart);
                    continue;
                }
                worker.pid = std::max(startWorker(config, listener), pid_t{0});
                worker.started = now;
                if (worker.pid == 0) nextStart = now + std::chrono::seconds(1);
            }
        }
        int wait = -1;
        if (wake != Clock::time_point::max())
            wait = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1);
        pollfd woken = {stopPipe(), POLLIN, 0};
        if (poll(&woken, 1, wait < 0 ? -1 : std::max(wait, 0)) > 0) drainStopPipe();
    }
}

unsigned processorsOnline() {
    long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<unsigned>(count) : 1;
}

} // namespace

extern "C" {

void dostrel_server_options_default(dostrel_server_options* options) {
    *options = {};
    options->host = "127.0.0.1";
    options->port = 0;
    options->workers = processorsOnline();
    options->limits = dostrel_limits_default();
    options->grace_ms = 30000;
    options->write_timeout_ms = 30000;
    options->max_connections = 1024;
    options->backlog = 1024;
    options->name = "dostrel-appserver";
}

int dostrel_serve(const dostrel_server_options* options, dostrel_handler handler, void* user_data) {
    ServerConfig config{*options,
                        options->host ? options->host : "127.0.0.1",
                        options->name ? options->name : "dostrel-appserver",
                        {},
                        handler,
                        user_data};
    std::string bad;
    if (!parseAllowList(options->allow, &config.allow, &bad)) {
        serverLog(config, "not an address or address/bits in the allow-list: '%s'", bad.c_str());
        return -1;
    }
    raiseDescriptorLimit();
    std::string address;
    unsigned port = 0;
    int listener = openListener(config, &address, &port);
    if (listener < 0) return -1;
    installStopSignals(options->workers > 0);
    if (options->on_listening != nullptr) options->on_listening(address.c_str(), port, user_data);
    int result = 0;
    if (options->workers == 0)
        serveConnections(config, listener);
    else
        result = runArbiter(config, listener);
    restoreStopSignals();
    return result;
}

} // extern "C"
