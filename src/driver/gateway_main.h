// gateway_main.h -- the program entry: one process, one request.
#pragma once

/// Serves the one request of this process; returns exit status 0. Every failure ends the
/// process with exit status 1 instead.
int gatewayMain(int argc, char** argv, char** envp);
