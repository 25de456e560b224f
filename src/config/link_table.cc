// link_table.cc -- the link table in file order and the lookup of the link for a request path.
#include "config/link_table.h"

#include "diag/report.h"
#include "platform/ascii.h"
#include "platform/c_library.h"

void appendLink(GatewayConfig* config, char* path, char* host, std::uint16_t port) {
    LinkEntry* entry = static_cast<LinkEntry*>(std::malloc(sizeof(LinkEntry)));
    if (entry == nullptr) fatalError(1);
    *entry = LinkEntry{path, LinkProtocol::Tcp, host, port, nullptr};
    if (config->firstLink == nullptr) config->firstLink = entry;
    if (config->lastLink != nullptr) config->lastLink->next = entry;
    config->lastLink = entry;
}

const LinkEntry* findLink(const GatewayConfig* config, const char* path) {
    for (const LinkEntry* link = config->firstLink; link != nullptr; link = link->next)
        if (equalsIgnoringCase(link->path, path)) return link;
    for (const LinkEntry* link = config->firstLink; link != nullptr; link = link->next)
        if (std::strcmp(link->path, "*") == 0) return link;
    return nullptr;
}
