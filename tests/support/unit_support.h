// unit_support.h -- helpers shared by the unit tests: fresh process-wide state, captured output.
#pragma once

#include "config/gateway_config.h"

#include <string>
#include <vector>

/// Resets the switches, the program path ("dostrel"), the environment and the fake sockets.
void resetGatewayState();

/// Uses |entries| (NAME=value texts) as the process environment for lookups.
void useEnvironment(const std::vector<std::string>& entries);

/// The result of reading a configuration text.
struct ConfigReading {
    GatewayConfig config;
    std::string warnings; // everything written to standard error
};

/// Reads |text| as the content of dostrel.cnf.
ConfigReading readConfigText(const std::string& text);

/// The links of |config| as "path host port" lines, in file order.
std::vector<std::string> describeLinks(const GatewayConfig& config);

/// Moves the test into a new empty directory for its lifetime and back out again.
struct ScratchDirectory {
    std::string path;
    std::string previous;

    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
};

/// How the system ends a line in a text file: CR LF on Windows, LF elsewhere.
const char* textLineEnd();

/// The content of |name| in the current directory, or "<missing>".
std::string readFile(const std::string& name);

/// The messages of the trace lines in dostrel.dbg, each stamp checked and cut off.
std::vector<std::string> traceMessages();

/// Discards standard output, for fatal paths whose page would only clutter the test log.
void silenceStandardOutput();

/// Whether a death test's dying process works in the test's own directory. Where there is no
/// fork (Windows), the death test runs in a new process that sets itself up from scratch.
constexpr bool deathTestsShareFiles() {
#ifdef _WIN32
    return false;
#else
    return true;
#endif
}
