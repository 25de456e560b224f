// serve.cc -- dostrel_serve: on a listener, either the serving loop in this process or an
// arbiter that keeps a fixed number of worker processes running on the shared listener,
// replaces those that die, kills those whose handler outlives its time limit, starts none
// while stopping, and stops them gracefully or at once. Each worker serves with one thread or
// a fixed pool of them.
#include "server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <new>
#include <poll.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned maxThreads = 4096;

struct Worker {
    pid_t pid = 0;
    Clock::time_point started;
    bool killedForTime = false;
};

long long steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

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

unsigned threadsPerWorker(const ServerConfig& config) {
    return std::max(config.options.threads, 1u);
}

// Answers one request. An exception before the first byte left becomes a 500 answer; after
// it, the connection is reset, so that the cut answer does not pass for a complete one.
void runHandler(dostrel_listener& l, ReadyRequest& ready, HandlerClock* clock) {
    const ServerConfig& config = l.config;
    const char* peer = ready.link->peer.c_str();
    dostrel_response* response = responseForLink(ready.link, config.options, !ready.head);
    if (response == nullptr) {
        serverLog(config, "no memory for the response to %s", peer);
        dostrel_request_free(ready.request);
        return;
    }
    if (clock != nullptr) {
        std::snprintf(clock->peer, sizeof clock->peer, "%s", peer);
        clock->startedMs.store(steadyMs());
    }
    bool threw = false;
    std::string what;
    try {
        config.handler(ready.request, response, config.userData);
    } catch (const std::exception& exception) {
        threw = true;
        what = exception.what();
    } catch (...) {
        threw = true;
        what = "an exception that is no std::exception";
    }
    if (clock != nullptr) clock->startedMs.store(0);
    bool aborted = false;
    if (threw && responseSentAny(response)) {
        serverLog(config,
                  "the handler threw on a request from %s after its answer began: %s; "
                  "connection reset",
                  peer, what.c_str());
        dostrel_response_abort(response);
        aborted = true;
    } else if (threw) {
        serverLog(config, "the handler threw on a request from %s: %s", peer, what.c_str());
        responseStartOver(response);
        dostrel_response_status(response, 500, nullptr);
        dostrel_response_header(response, "Content-Type", "text/plain");
        dostrel_response_printf(response, "The application failed.\n");
    }
    bool refused = ready.link->bodyFailed; // logged as a refusal already
    if (dostrel_response_free(response) != 0 && !aborted && !refused) {
        if (errno == ECONNABORTED)
            serverLog(config, "the handler aborted the response to %s: connection reset", peer);
        else
            serverLog(config, "response to %s not complete: %s; connection reset", peer,
                      std::strerror(errno));
    }
    dostrel_request_free(ready.request);
}

void serveThread(dostrel_listener& l, HandlerClock* clock) {
    for (;;) {
        ReadyRequest ready;
        if (acceptRequest(&l, &ready) != 0) return; // stopped, or poll failed (logged)
        runHandler(l, ready, clock);
    }
}

// One worker's serving: the hooks around it, and its threads.
void serveWorker(dostrel_listener& l) {
    const ServerConfig& config = l.config;
    if (config.options.on_worker_start != nullptr) config.options.on_worker_start(hookData(config));
    unsigned threads = threadsPerWorker(config);
    auto clockOf = [&](unsigned i) { return l.clocks != nullptr ? l.clocks + i : nullptr; };
    std::vector<std::thread> pool;
    for (unsigned i = 1; i < threads; ++i) {
        try {
            pool.emplace_back(serveThread, std::ref(l), clockOf(i));
        } catch (const std::system_error& error) {
            serverLog(config, "cannot start thread %u of %u: %s; serving with %u", i + 1, threads,
                      error.what(), i);
            break;
        }
    }
    serveThread(l, clockOf(0));
    for (std::thread& thread : pool)
        thread.join();
    if (config.options.on_worker_exit != nullptr) config.options.on_worker_exit(hookData(config));
}

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    return set;
}

// Starts worker |index| unless a stop was asked. The stop signals wait meanwhile, so that no
// worker is forked after one arrived. Returns 0 when it did not start one.
pid_t startWorker(dostrel_listener& l, unsigned index, HandlerClock* clocks) {
    const ServerConfig& config = l.config;
    sigset_t blocked = stopSignals(), before;
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    if (listenerStopLevel(&l) != stopNone) {
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return 0;
    }
    std::fflush(nullptr); // nothing buffered before the fork is written twice
    pid_t arbiter = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        resetStopSignalsInWorker(&l, arbiter);
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        if (clocks != nullptr) l.clocks = clocks + index * threadsPerWorker(config);
#ifdef __linux__
        // A worker whose arbiter is gone (killed outright) stops too, gracefully.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != arbiter) requestStop(stopGraceful);
#endif
        serveWorker(l);
        std::fflush(nullptr);
        _exit(0);
    }
    int error = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (pid < 0) serverLog(config, "cannot start a worker: %s", std::strerror(error));
    return std::max(pid, pid_t{0});
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

// Kills the workers whose handler has run longer than the time limit; their connections are
// reset by the kernel, since they linger 0 s while answering.
void killLateHandlers(dostrel_listener& l, std::vector<Worker>& workers, HandlerClock* clocks) {
    unsigned limit = l.config.options.handler_timeout_ms;
    unsigned threads = threadsPerWorker(l.config);
    std::uint32_t now = steadyMs();
    for (std::size_t i = 0; i < workers.size(); ++i) {
        if (workers[i].pid <= 0 || workers[i].killedForTime) continue;
        for (unsigned t = 0; t < threads; ++t) {
            HandlerClock& clock = clocks[i * threads + t];
            std::uint32_t started = clock.startedMs.load();
            std::uint32_t ran = now - started;
            if (started == 0 || ran <= limit) continue;
            serverLog(l.config,
                      "the handler for %s ran %.1f s, over the time limit of %.1f s: worker %ld "
                      "killed, its connections reset",
                      clock.peer, static_cast<double>(ran) / 1000,
                      static_cast<double>(limit) / 1000, static_cast<long>(workers[i].pid));
            kill(workers[i].pid, SIGKILL);
            workers[i].killedForTime = true;
            break;
        }
    }
}

void clearClocks(HandlerClock* clocks, std::size_t index, unsigned threads) {
    if (clocks == nullptr) return;
    for (unsigned t = 0; t < threads; ++t)
        clocks[index * threads + t].startedMs.store(0);
}

int runArbiter(dostrel_listener& l, HandlerClock* clocks) {
    const ServerConfig& config = l.config;
    unsigned threads = threadsPerWorker(config);
    std::vector<Worker> workers(config.options.workers);
    for (std::size_t i = 0; i < workers.size(); ++i) {
        workers[i].pid = startWorker(l, static_cast<unsigned>(i), clocks); // 0: start it later
        workers[i].started = Clock::now();
    }
    int level = stopNone;
    Clock::time_point deadline = Clock::time_point::max();
    Clock::time_point nextStart = Clock::now();
    for (;;) {
        pid_t pid;
        int status;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
            for (std::size_t i = 0; i < workers.size(); ++i) {
                Worker& worker = workers[i];
                if (worker.pid != pid) continue;
                worker.pid = 0;
                clearClocks(clocks, i, threads);
                bool timeKill = worker.killedForTime;
                worker.killedForTime = false;
                // Read now, not at the last round: a group SIGTERM ends the workers and the
                // arbiter together, and those workers are not to be replaced.
                if (listenerStopLevel(&l) != stopNone) break;
                if (!timeKill)
                    serverLog(config, "worker %ld %s; starting another", static_cast<long>(pid),
                              exitText(status).c_str());
                // A worker dying as soon as it starts would otherwise be restarted in a loop.
                if (!timeKill && Clock::now() - worker.started < std::chrono::seconds(1))
                    nextStart = Clock::now() + std::chrono::seconds(1);
            }
        }
        Clock::time_point now = Clock::now();
        if (listenerStopLevel(&l) > level) {
            level = listenerStopLevel(&l);
            logHangup(config);
            if (l.fd >= 0) close(l.fd); // the workers hold it open until they have drained it
            l.fd = -1;
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
            serverLog(config,
                      "%zu workers still running after the grace period: killed, their "
                      "connections reset",
                      running(workers));
            signalAll(workers, SIGKILL);
            for (Worker& worker : workers)
                if (worker.pid > 0) waitpid(worker.pid, nullptr, 0);
            return 0;
        }
        if (clocks != nullptr) killLateHandlers(l, workers, clocks);
        Clock::time_point wake = deadline;
        if (level == stopNone) {
            for (std::size_t i = 0; i < workers.size(); ++i) {
                Worker& worker = workers[i];
                if (worker.pid != 0) continue;
                if (now < nextStart) {
                    wake = std::min(wake, nextStart);
                    continue;
                }
                worker.pid = startWorker(l, static_cast<unsigned>(i), clocks);
                worker.started = now;
                if (worker.pid == 0) nextStart = now + std::chrono::seconds(1);
            }
        }
        int wait = -1;
        if (wake != Clock::time_point::max())
            wait = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1);
        if (clocks != nullptr) {
            int every =
                static_cast<int>(std::clamp(config.options.handler_timeout_ms / 4, 10u, 1000u));
            wait = wait < 0 ? every : std::min(wait, every);
        }
        pollfd woken = {l.wake[0], POLLIN, 0};
        if (poll(&woken, 1, wait < 0 ? -1 : std::max(wait, 0)) > 0 && drainWakePipe(&l))
            l.stopAsked = 1;
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
    options->size = sizeof *options;
    options->host = "127.0.0.1";
    options->port = 0;
    options->workers = processorsOnline();
    options->limits = dostrel_limits_default();
    options->grace_ms = 30000;
    options->write_timeout_ms = 30000;
    options->max_connections = 1024;
    options->backlog = 1024;
    options->name = "dostrel-appserver";
    options->threads = 1;
}

int dostrel_stream_every_body(const dostrel_request*, void*) {
    return 1;
}

int dostrel_serve_listener(dostrel_listener* listener, dostrel_handler handler, void* user_data) {
    ServerConfig& config = listener->config;
    const dostrel_server_options& options = config.options;
    if (options.handler_timeout_ms > 0 && options.workers == 0) {
        serverLog(config, "a handler time limit needs worker processes (workers > 0)");
        errno = EINVAL;
        return -1;
    }
    if (options.threads > maxThreads) {
        serverLog(config, "%u threads per worker: at most %u", options.threads, maxThreads);
        errno = EINVAL;
        return -1;
    }
    config.handler = handler;
    config.userData = user_data;
    HandlerClock* clocks = nullptr;
    std::size_t clocksSize = 0;
    if (options.handler_timeout_ms > 0) {
        clocksSize = sizeof(HandlerClock) * options.workers * threadsPerWorker(config);
        void* shared =
            mmap(nullptr, clocksSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED) {
            int error = errno;
            serverLog(config, "no shared memory for the handler clocks: %s", std::strerror(error));
            errno = error;
            return -1;
        }
        clocks = new (shared) HandlerClock[options.workers * threadsPerWorker(config)]();
    }
    raiseDescriptorLimit();
    installStopSignals(options.workers > 0);
    if (options.on_listening != nullptr)
        options.on_listening(listener->address.c_str(), listener->port, hookData(config));
    int result = 0;
    if (options.workers == 0)
        serveWorker(*listener);
    else
        result = runArbiter(*listener, clocks);
    restoreStopSignals();
    if (clocks != nullptr) munmap(clocks, clocksSize);
    return result;
}

int dostrel_serve(const dostrel_server_options* options, dostrel_handler handler, void* user_data) {
    dostrel_listener* listener = dostrel_listen(options);
    if (listener == nullptr) return -1;
    int result = dostrel_serve_listener(listener, handler, user_data);
    int error = errno;
    dostrel_listener_close(listener);
    errno = error;
    return result;
}

} // extern "C"
