// gateway_config.h -- the configuration record, its link table and the lookup of a link by path.
#pragma once

#include "platform/c_library.h"

/// How the gateway talks to a link's application server.
enum class LinkProtocol : std::int32_t { Tcp = 1 };

/// One accepted `link` line: a request path served by an application server.
struct LinkEntry {
    char* path;            // as written, letter case kept; "*" serves every unnamed path
    LinkProtocol protocol; // always Tcp for entries read from the file
    char* host;            // host name, dotted address, or "-" for this machine
    std::uint16_t port;    // host byte order
    LinkEntry* next;       // file order
};

/// The configuration read from dostrel.cnf: links in file order and the debug switch.
struct GatewayConfig {
    std::int32_t debug;
    LinkEntry* firstLink;
    LinkEntry* lastLink;
};

/// "dostrel.cnf", opened relative to the current directory.
const char* configFileName();

/// Reads dostrel.cnf. Never returns without a configuration: a file that cannot be opened is
/// error 2, an allocation failure error 1. Bad lines draw warnings and are skipped.
GatewayConfig* loadGatewayConfig();

/// Handles every line of |file| into |config|; a read failure ends the reading like the end.
void readGatewayConfig(std::FILE* file, GatewayConfig* config);

/// Handles one line, comment already cut; the line is modified as tokens are taken from it.
void handleConfigLine(GatewayConfig* config, char* line);

/// 1 for a word that switches on, 0 for one that switches off, -1 for anything else.
int parseSwitchValue(const char* text);

/// The first link whose path equals |path| ignoring case, else the first "*" link, else null.
const LinkEntry* findLink(const GatewayConfig* config, const char* path);
