// stop_signals.cc -- SIGTERM, SIGHUP, SIGINT, SIGQUIT and SIGCHLD turned into a stop level and a
// byte on the wake pipe of every server in the process, so that their polls wake for them; the
// previous handlers come back when the last server ends.
#include "server.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

std::atomic<int> stopLevel{stopNone};
std::atomic<bool> hangupSeen{false};

namespace {

// Every listener of the process, so that a signal or dostrel_serve_stop reaches each, whoever
// runs its loop. Lock-free atomics: the signal handlers read them.
constexpr int maxWatched = 256;
std::atomic<dostrel_listener*> watchedListeners[maxWatched] = {};
std::mutex registry;
int installedCount = 0;
bool childrenWatched = false;
std::atomic<pid_t> arbiterPid{0};  // in a worker: whom dostrel_serve_stop asks
constexpr int stopSignalCount = 4; // then SIGCHLD
struct sigaction previous[stopSignalCount + 1];
const int watched[stopSignalCount + 1] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT, SIGCHLD};

static_assert(std::atomic<dostrel_listener*>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

void wake(const dostrel_listener* listener, const char* byte) {
    if (listener->wake[1] < 0) return;
    ssize_t ignored = write(listener->wake[1], byte, 1);
    (void)ignored;
}

void wakeAll() {
    int saved = errno;
    for (auto& slot : watchedListeners)
        if (dostrel_listener* listener = slot.load()) wake(listener, "");
    errno = saved;
}

void onSignal(int number) {
    if (number == SIGHUP) hangupSeen.store(true);
    if (number == SIGTERM || number == SIGHUP)
        requestStop(stopGraceful);
    else if (number == SIGINT || number == SIGQUIT)
        requestStop(stopImmediate);
    else
        wakeAll();
}

void install(int index) {
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(watched[index], nullptr, &previous[index]);
    // A program started in the background keeps SIGINT and SIGQUIT ignored, as the shell meant,
    // and one started under nohup SIGHUP.
    if (watched[index] != SIGTERM && watched[index] != SIGCHLD &&
        previous[index].sa_handler == SIG_IGN)
        return;
    sigaction(watched[index], &action, nullptr);
}

} // namespace

bool openWakePipe(dostrel_listener* listener) {
    if (pipe2(listener->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        listener->wake[0] = listener->wake[1] = -1;
        return false;
    }
    return true;
}

int listenerStopLevel(const dostrel_listener* listener) {
    int level = stopLevel.load();
    if (listener->stopAsked.load() != 0 && level < stopGraceful) level = stopGraceful;
    return level;
}

void requestStop(int level) {
    for (int seen = stopLevel.load();
         level > seen && !stopLevel.compare_exchange_weak(seen, level);)
        continue;
    wakeAll();
}

void logHangup(const ServerConfig& config) {
    if (hangupSeen.exchange(false))
        serverLog(config, "SIGHUP: stopping gracefully (a changed setting needs a restart)");
}

bool drainWakePipe(dostrel_listener* listener) {
    char bytes[64];
    bool passedOn = false;
    for (ssize_t got; (got = read(listener->wake[0], bytes, sizeof bytes)) > 0;)
        for (ssize_t i = 0; i < got; ++i)
            passedOn = passedOn || bytes[i] == 's';
    return passedOn;
}

bool watchListener(dostrel_listener* listener) {
    std::lock_guard<std::mutex> lock(registry);
    for (auto& slot : watchedListeners)
        if (slot.load() == nullptr) {
            slot.store(listener);
            return true;
        }
    return false;
}

void unwatchListener(dostrel_listener* listener) {
    std::lock_guard<std::mutex> lock(registry);
    for (auto& slot : watchedListeners)
        if (slot.load() == listener) slot.store(nullptr);
}

void installStopSignals(bool watchChildren) {
    std::lock_guard<std::mutex> lock(registry);
    if (installedCount++ == 0) {
        stopLevel.store(stopNone);
        arbiterPid.store(0);
        hangupSeen.store(false);
        for (int i = 0; i < stopSignalCount; ++i)
            install(i);
    }
    if (watchChildren && !childrenWatched) {
        install(stopSignalCount);
        childrenWatched = true;
    }
}

void restoreStopSignals() {
    std::lock_guard<std::mutex> lock(registry);
    if (installedCount == 0 || --installedCount > 0) return;
    for (int i = 0; i < stopSignalCount; ++i)
        sigaction(watched[i], &previous[i], nullptr);
    if (childrenWatched) sigaction(SIGCHLD, &previous[stopSignalCount], nullptr);
    childrenWatched = false;
}

void resetStopSignalsInWorker(dostrel_listener* listener, pid_t arbiter) {
    // The arbiter's pipe stays open for writing only: a stop asked here is passed on to it.
    close(listener->wake[0]);
    listener->arbiterWake = listener->wake[1];
    openWakePipe(listener);
    listener->inWorker = true;
    listener->stopAsked.store(0);
    // The other listeners of the arbiter's process are not this worker's to stop.
    for (auto& slot : watchedListeners)
        slot.store(nullptr);
    watchedListeners[0].store(listener);
    stopLevel.store(stopNone);
    arbiterPid.store(arbiter);
    if (childrenWatched) sigaction(SIGCHLD, &previous[stopSignalCount], nullptr);
    childrenWatched = false;
}

// Every listener stops on its own flag, so that one made after this call serves as usual.
extern "C" void dostrel_serve_stop(void) {
    if (pid_t arbiter = arbiterPid.load(); arbiter != 0) {
        kill(arbiter, SIGTERM);
        return;
    }
    for (auto& slot : watchedListeners)
        if (dostrel_listener* listener = slot.load()) dostrel_listener_stop(listener);
}

extern "C" void dostrel_listener_stop(dostrel_listener* listener) {
    int saved = errno;
    listener->stopAsked.store(1);
    if (listener->inWorker && listener->arbiterWake >= 0) {
        ssize_t ignored = write(listener->arbiterWake, "s", 1);
        (void)ignored;
    }
    wake(listener, "");
    errno = saved;
}
