// fuzz_config.cc -- the configuration reader fed arbitrary file bytes; every link it keeps must
// be whole, and the lookups must hold their rules.
#include "config/gateway_config.h"
#include "diag/report.h"
#include "platform/ascii.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static void freeLinks(GatewayConfig* config) {
    for (LinkEntry* link = config->firstLink; link != nullptr;) {
        LinkEntry* next = link->next;
        std::free(link->path);
        std::free(link->host);
        std::free(link);
        link = next;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    programPath = "dostrel";
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (file == nullptr) return 0;
    GatewayConfig config = {0, nullptr, nullptr};
    readGatewayConfig(file, &config);
    std::fclose(file);

    const LinkEntry* star = nullptr;
    for (const LinkEntry* link = config.firstLink; link != nullptr; link = link->next) {
        // A kept link is complete: a path and a host without delimiters or comments.
        if (link->path[0] == '\0' || link->host[0] == '\0' || std::strchr(link->path, '#') ||
            std::strchr(link->host, ' ') || link->protocol != LinkProtocol::Tcp)
            std::abort();
        if (link->next == nullptr && link != config.lastLink) std::abort();
        if (star == nullptr && std::strcmp(link->path, "*") == 0) star = link;
        // Every link's own path finds a link with that path (the first of them).
        const LinkEntry* found = findLink(&config, link->path);
        if (found == nullptr || !equalsIgnoringCase(found->path, link->path)) std::abort();
    }
    if (findLink(&config, "\x01no such path\x01") != star) std::abort();
    freeLinks(&config);
    return 0;
}
