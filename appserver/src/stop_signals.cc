// stop_signals.cc -- SIGTERM, SIGINT, SIGQUIT and SIGCHLD turned into a stop level and a byte
// on the wake pipe of every server in the process, so that their polls wake for them; the
// previous handlers come back when the last server ends.
#include "server.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

volatile std::sig_atomic_t stopLevel = stopNone;

namespace {

constexpr int maxWatched = 64;
volatile int wakeEnds[maxWatched] = {}; // write ends, plus one (0: a free slot)
std::mutex registry;
int installedCount = 0;
bool childrenWatched = false;
volatile pid_t arbiterPid = 0; // in a worker: whom dostrel_serve_stop asks
struct sigaction previous[4];
const int watched[4] = {SIGTERM, SIGINT, SIGQUIT, SIGCHLD};

void wakeAll() {
    int saved = errno;
    for (int i = 0; i < maxWatched; ++i) {
        int end = wakeEnds[i] - 1;
        if (end < 0) continue;
        ssize_t ignored = write(end, "", 1);
        (void)ignored;
    }
    errno = saved;
}

void onSignal(int number) {
    if (number == SIGTERM)
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
    // A program started in the background keeps SIGINT and SIGQUIT ignored, as the shell meant.
    if ((watched[index] == SIGINT || watched[index] == SIGQUIT) &&
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
    int level = stopLevel;
    if (listener->stopAsked != 0 && level < stopGraceful) level = stopGraceful;
    return level;
}

void requestStop(int level) {
    if (level > stopLevel) stopLevel = level;
    wakeAll();
}

bool drainWakePipe(dostrel_listener* listener) {
    char bytes[64];
    bool passedOn = false;
    for (ssize_t got; (got = read(listener->wake[0], bytes, sizeof bytes)) > 0;)
        for (ssize_t i = 0; i < got; ++i)
            passedOn = passedOn || bytes[i] == 's';
    return passedOn;
}

void watchListener(dostrel_listener* listener) {
    std::lock_guard<std::mutex> lock(registry);
    for (int i = 0; i < maxWatched; ++i)
        if (wakeEnds[i] == 0) {
            wakeEnds[i] = listener->wake[1] + 1;
            return;
        }
}

void unwatchListener(dostrel_listener* listener) {
    std::lock_guard<std::mutex> lock(registry);
    for (int i = 0; i < maxWatched; ++i)
        if (wakeEnds[i] == listener->wake[1] + 1) wakeEnds[i] = 0;
}

void installStopSignals(bool watchChildren) {
    std::lock_guard<std::mutex> lock(registry);
    if (installedCount++ == 0) {
        stopLevel = stopNone;
        arbiterPid = 0;
        for (int i = 0; i < 3; ++i)
            install(i);
    }
    if (watchChildren && !childrenWatched) {
        install(3);
        childrenWatched = true;
    }
}

void restoreStopSignals() {
    std::lock_guard<std::mutex> lock(registry);
    if (installedCount == 0 || --installedCount > 0) return;
    for (int i = 0; i < 3; ++i)
        sigaction(watched[i], &previous[i], nullptr);
    if (childrenWatched) sigaction(SIGCHLD, &previous[3], nullptr);
    childrenWatched = false;
}

void resetStopSignalsInWorker(dostrel_listener* listener, pid_t arbiter) {
    // The arbiter's pipe stays open for writing only: a stop asked here is passed on to it.
    close(listener->wake[0]);
    listener->arbiterWake = listener->wake[1];
    openWakePipe(listener);
    listener->inWorker = true;
    listener->stopAsked = 0;
    for (int i = 0; i < maxWatched; ++i)
        wakeEnds[i] = 0;
    wakeEnds[0] = listener->wake[1] + 1;
    stopLevel = stopNone;
    arbiterPid = arbiter;
    if (childrenWatched) sigaction(SIGCHLD, &previous[3], nullptr);
    childrenWatched = false;
}

extern "C" void dostrel_serve_stop(void) {
    if (arbiterPid != 0)
        kill(arbiterPid, SIGTERM);
    else
        requestStop(stopGraceful);
}

extern "C" void dostrel_listener_stop(dostrel_listener* listener) {
    int saved = errno;
    listener->stopAsked = 1;
    if (listener->inWorker && listener->arbiterWake >= 0) {
        ssize_t ignored = write(listener->arbiterWake, "s", 1);
        (void)ignored;
    }
    if (listener->wake[1] >= 0) {
        ssize_t ignored = write(listener->wake[1], "", 1);
        (void)ignored;
    }
    errno = saved;
}
