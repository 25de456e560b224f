// gateway_main.cc -- the program entry: start-up, configuration, link selection, dispatch.
#include "driver/gateway_main.h"

#include "config/gateway_config.h"
#include "diag/report.h"
#include "driver/request.h"
#include "platform/environment.h"
#include "platform/platform.h"

// The configuration lives until the process ends.
static GatewayConfig* gatewayConfig = nullptr;

// Start-up must grant at least this version of the socket library.
static bool isAcceptedSocketVersion(const SocketLibraryVersion& version) {
    return version.major > 1 || (version.major == 1 && version.minor >= 1);
}

// Current Linux kernels pass an empty first argument where the command line has none.
static const char* chooseProgramPath(int argc, char** argv) {
    if (argc > 0 && argv != nullptr && argv[0] != nullptr && argv[0][0] != '\0') return argv[0];
    return platformOwnExecutablePath();
}

static void startSocketLibrary() {
    SocketLibraryVersion granted = {0, 0};
    if (platformStartSockets(&granted) != 0) fatalError(16);
    if (!isAcceptedSocketVersion(granted)) fatalError(17);
}

int gatewayMain(int argc, char** argv, char** envp) {
    platformOpenStandardDescriptors();
    programPath = chooseProgramPath(argc, argv);
    // The error page shows variables of the environment, so it is taken before anything fails.
    takeEnvironment(envp);
    platformIgnoreBrokenPipe();
    platformMakeStdoutBinary();
    startSocketLibrary();
    gatewayConfig = loadGatewayConfig();
    const char* pathInfo = lookupEnvironment("PATH_INFO");
    const char* requestPath = pathInfo == nullptr ? "" : pathInfo;
    const LinkEntry* link = findLink(gatewayConfig, requestPath);
    if (link == nullptr) fatalError(8, requestPath);
    dispatchRequest(envCount, envStrings, link);
    platformCleanupSockets();
    return 0;
}
