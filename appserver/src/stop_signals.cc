// stop_signals.cc -- SIGTERM, SIGINT, SIGQUIT and SIGCHLD turned into a stop level and a byte
// on a pipe, so that a poll wakes for them; the previous handlers come back afterwards.
#include "server.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

volatile std::sig_atomic_t stopLevel = stopNone;

namespace {

int pipeEnds[2] = {-1, -1};
volatile pid_t arbiterPid = 0; // in a worker: whom dostrel_serve_stop asks
bool installed = false;
struct sigaction previous[4];
const int watched[4] = {SIGTERM, SIGINT, SIGQUIT, SIGCHLD};

void wake() {
    int saved = errno;
    if (pipeEnds[1] >= 0) {
        ssize_t ignored = write(pipeEnds[1], "", 1);
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
        wake();
}

void closePipe() {
    for (int& end : pipeEnds) {
        if (end >= 0) close(end);
        end = -1;
    }
}

void openPipe() {
    closePipe();
    if (pipe(pipeEnds) != 0) return;
    for (int end : pipeEnds) {
        fcntl(end, F_SETFD, FD_CLOEXEC);
        fcntl(end, F_SETFL, O_NONBLOCK);
    }
}

} // namespace

int stopPipe() {
    return pipeEnds[0];
}

void requestStop(int level) {
    if (level > stopLevel) stopLevel = level;
    wake();
}

void drainStopPipe() {
    char bytes[64];
    while (read(pipeEnds[0], bytes, sizeof bytes) > 0) {
    }
}

void installStopSignals(bool watchChildren) {
    stopLevel = stopNone;
    arbiterPid = 0;
    openPipe();
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 4; ++i) {
        sigaction(watched[i], nullptr, &previous[i]);
        if (watched[i] == SIGCHLD && !watchChildren) continue;
        // A program started in the background keeps SIGINT and SIGQUIT ignored, as the shell
        // meant.
        if (watched[i] != SIGTERM && watched[i] != SIGCHLD && previous[i].sa_handler == SIG_IGN)
            continue;
        sigaction(watched[i], &action, nullptr);
    }
    installed = true;
}

void restoreStopSignals() {
    if (!installed) return;
    for (int i = 0; i < 4; ++i)
        sigaction(watched[i], &previous[i], nullptr);
    installed = false;
    closePipe();
}

void resetStopSignalsInWorker(pid_t arbiter) {
    openPipe();
    stopLevel = stopNone;
    arbiterPid = arbiter;
    sigaction(SIGCHLD, &previous[3], nullptr);
}

extern "C" void dostrel_serve_stop(void) {
    if (arbiterPid != 0)
        kill(arbiterPid, SIGTERM);
    else
        requestStop(stopGraceful);
}
