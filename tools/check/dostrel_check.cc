// dostrel_check.cc -- dostrel-check: reads a dostrel.cnf exactly as the gateway does, shows its
// warnings, its link table and its switches, and optionally probes the application servers.
#include "config/gateway_config.h"
#include "diag/build_info.h"
#include "diag/report.h"
#include "diag/switches.h"
#include "platform/ascii.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum CheckStatus { checkClean = 0, checkWarnings = 1, checkUnusable = 2, checkUnreachable = 3 };

constexpr int probeMilliseconds = 2000;

struct CheckOptions {
    const char* file = "dostrel.cnf";
    const char* requestPath = nullptr;
    bool probe = false;
};

[[noreturn]] void usage(int status) {
    std::fprintf(status == 0 ? stdout : stderr,
                 "usage: dostrel-check [--probe] [--path PATH] [FILE]\n"
                 "       dostrel-check --version\n"
                 "Reads FILE (./dostrel.cnf) as the gateway does: its warnings on standard error,\n"
                 "then the link table and the switches. --path shows which link serves a request\n"
                 "path; --probe also resolves every host and tries to connect to it.\n"
                 "Exit status: 0 clean, 1 warnings, 2 file unusable, 3 a link unreachable.\n");
    std::exit(status);
}

CheckOptions parseOptions(int argc, char** argv) {
    CheckOptions options;
    bool fileGiven = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (std::strcmp(argument, "--version") == 0) {
            std::printf("dostrel-check %d.%d (compiled on %s %s)\n", gatewayVersionMajor,
                        gatewayVersionMinor, buildDate, buildTime);
            std::exit(0);
        } else if (std::strcmp(argument, "--help") == 0) {
            usage(0);
        } else if (std::strcmp(argument, "--probe") == 0) {
            options.probe = true;
        } else if (std::strcmp(argument, "--path") == 0 && i + 1 < argc) {
            options.requestPath = argv[++i];
        } else if (argument[0] == '-' && argument[1] != '\0') {
            usage(checkUnusable);
        } else if (!fileGiven) {
            options.file = argument;
            fileGiven = true;
        } else {
            usage(checkUnusable);
        }
    }
    return options;
}

// The earlier link that takes every request this one would serve, or null.
const LinkEntry* shadowingLink(const GatewayConfig& config, const LinkEntry* link) {
    for (const LinkEntry* earlier = config.firstLink; earlier != link; earlier = earlier->next)
        if (equalsIgnoringCase(earlier->path, link->path)) return earlier;
    return nullptr;
}

void printLinks(const GatewayConfig& config) {
    std::printf("links, in file order:\n");
    if (config.firstLink == nullptr)
        std::printf("  none: every request is answered with error 8\n");
    for (const LinkEntry* link = config.firstLink; link != nullptr; link = link->next) {
        std::printf("  %s -> %s port %u", link->path, link->host, link->port);
        const LinkEntry* earlier = shadowingLink(config, link);
        if (earlier != nullptr)
            std::printf("  (never used: the earlier link %s serves this path)", earlier->path);
        else if (std::strcmp(link->path, "*") == 0)
            std::printf("  (serves every path that no link names)");
        std::printf("\n");
    }
}

void printSwitches() {
    std::printf("debug: %s\n", debug != 0 ? "on (trace in dostrel.dbg)" : "off");
    std::printf("terseErrors: %s\n", terseErrors != 0 ? "on" : "off");
}

void printRoute(const GatewayConfig& config, const char* requestPath) {
    const LinkEntry* link = findLink(&config, requestPath);
    if (link == nullptr)
        std::printf("path '%s': no link; the gateway answers with error 8\n", requestPath);
    else
        std::printf("path '%s': link %s -> %s port %u\n", requestPath, link->path, link->host,
                    link->port);
}

// Resolves a link's host as the gateway would; false (with a report) when it cannot.
bool resolveHost(const char* host, char* localName, std::size_t size, std::uint32_t* address) {
    const char* name = host;
    if (std::strcmp(host, "-") == 0) {
        if (platformLocalHostName(localName, size) != 0) {
            std::printf("  %s: this machine's name cannot be had\n", host);
            return false;
        }
        name = localName;
    }
    *address = platformDottedAddress(name);
    if (*address == noDottedAddress && !platformLookupHost(name, address)) {
        std::printf("  %s: the name cannot be resolved\n", name);
        return false;
    }
    return true;
}

bool probeLinks(const GatewayConfig& config) {
    bool allReachable = true;
    std::printf("probing:\n");
    for (const LinkEntry* link = config.firstLink; link != nullptr; link = link->next) {
        if (shadowingLink(config, link) != nullptr) continue;
        char localName[1024];
        std::uint32_t address;
        if (!resolveHost(link->host, localName, sizeof localName, &address)) {
            allReachable = false;
            continue;
        }
        int failure = platformProbeConnect(address, link->port, probeMilliseconds);
        std::printf("  %s -> %s port %u: %s\n", link->path, link->host, link->port,
                    failure == 0 ? "reachable" : std::strerror(failure));
        allReachable = allReachable && failure == 0;
    }
    return allReachable;
}

} // namespace

int main(int argc, char** argv) {
    CheckOptions options = parseOptions(argc, argv);
    // Warnings read exactly as the gateway writes them.
    programPath = "dostrel";
    std::FILE* file = platformOpenTextFile(options.file, "r");
    if (file == nullptr) {
        std::fprintf(stderr, "dostrel-check: %s: %s\n", options.file,
                     errno != 0 ? std::strerror(errno) : "not a readable file");
        return checkUnusable;
    }
    static GatewayConfig config = {0, nullptr, nullptr}; // never freed, as in the gateway
    readGatewayConfig(file, &config);
    std::fclose(file);
    std::fflush(stderr);

    printLinks(config);
    printSwitches();
    if (options.requestPath != nullptr) printRoute(config, options.requestPath);
    bool reachable = !options.probe || probeLinks(config);
    if (!reachable) return checkUnreachable;
    return warningsReported > 0 ? checkWarnings : checkClean;
}
