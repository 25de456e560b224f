// gateway_process.h -- running the built gateway as a web server would, in a directory of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

/// A temporary working directory, removed with everything in it when the object goes.
struct WorkDirectory {
    std::string path;

    WorkDirectory();
    ~WorkDirectory();
    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;

    /// Writes |content| to the file |name| in the directory.
    void write(const std::string& name, const std::string& content) const;
    /// The content of the file |name|, or "<missing>" when there is none.
    std::string read(const std::string& name) const;
    bool exists(const std::string& name) const;
};

/// Standard input through a named pipe in |directory|, for a GatewayCall's inputFile: a thread
/// writes the blocks that |next| gives until it returns false, then closes its end; with
/// |holdOpen|, only when the object goes (or after a minute), so that a reader would wait.
struct PipeInput {
    PipeInput(const std::string& directory, std::function<bool(std::string* block)> next,
              bool holdOpen = false);
    ~PipeInput();
    PipeInput(const PipeInput&) = delete;
    PipeInput& operator=(const PipeInput&) = delete;

    std::string path;
    std::atomic<bool> closed{false}; // the writing end has been closed

  private:
    std::atomic<bool> releasing{false};
    std::thread writer;
};

/// How to start the gateway.
struct GatewayCall {
    GatewayCall(std::string directory, std::vector<std::string> env = {}, std::string input = {},
                std::string argv0 = "dostrel")
        : directory(std::move(directory)), env(std::move(env)), input(std::move(input)),
          argv0(std::move(argv0)) {}

    std::string directory;              // the working directory
    std::vector<std::string> env;       // the exact environment, in order
    std::string input;                  // standard input
    std::string inputFile;              // when not empty: standard input is this file instead
    std::string argv0;                  // the first argument
    std::vector<std::string> arguments; // the arguments after it
    std::string program;                // the program to run; empty: the gateway
    bool noArguments = false;           // start it with no argument at all
    std::size_t closeOutputAfter = 0;   // when not 0: stop reading stdout after this many bytes
    int interruptEveryMs = 0;           // when not 0: stop and continue the process this often
};

/// What the gateway did.
struct GatewayResult {
    std::string out;
    std::string err;
    int exitStatus = -1; // -1 when it ended by a signal
    int signal = 0;
    long peakKib = 0; // the largest resident set it had, in KiB (its wrapper's, under one)
};

/// The path of the gateway under test: DOSTREL_TEST_GATEWAY, or the one this build made.
const char* gatewayPath();

/// The path of dostrel-check under test: DOSTREL_TEST_CHECK, or the one this build made.
const char* checkPath();

/// The program path the gateway reports when started with the first argument "dostrel": that,
/// or the program's path under a wrapper (DOSTREL_TEST_WRAPPER) that cannot pass the argument.
std::string gatewayName();

/// True when a wrapper such as valgrind runs the programs: it passes them their own path as
/// first argument and adds variables of its own to their environment. QEMU's emulator is no
/// such wrapper: it passes both as given (see underEmulator).
bool underWrapper();

/// True when the wrapper is QEMU's user-mode emulator (qemu-i386-static and the like), which
/// runs the 32-bit build. It is told the first argument to pass, and given the environment in
/// reverse, since it hands a program its environment in reverse order; it cannot start a
/// program without arguments, and it leaves out environment strings without "=".
bool underEmulator();

/// Waits up to |limit| for the child |*pid| to end: its exit status (128 + the signal when a
/// signal ended it), with |*pid| set to -1; or -1 when it is still running then.
int waitForExit(pid_t* pid, std::chrono::milliseconds limit);

/// Runs the gateway once and waits for it to end.
GatewayResult runGateway(const GatewayCall& call);

/// The error page the gateway answers error |number| with, as built for the expectations of
/// the tests (the build date comes from the same build).
std::string expectedErrorPage(int number, const std::string& message, const std::string& program,
                              const std::vector<std::pair<std::string, std::string>>& facts,
                              const std::string& directory, bool terse = false);
