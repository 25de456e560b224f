// allow_list.cc -- the peers a server takes connections from: addresses or address prefixes,
// checked at the accept.
#include "server.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

namespace {

bool parseEntry(std::string text, AllowEntry* entry) {
    std::size_t slash = text.find('/');
    std::string address = text.substr(0, slash);
    if (inet_pton(AF_INET, address.c_str(), entry->bytes) == 1) {
        entry->family = AF_INET;
        entry->bits = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), entry->bytes) == 1) {
        entry->family = AF_INET6;
        entry->bits = 128;
    } else {
        return false;
    }
    if (slash == std::string::npos) return true;
    std::string bits = text.substr(slash + 1);
    char* end = nullptr;
    unsigned long value = std::strtoul(bits.c_str(), &end, 10);
    if (bits.empty() || *end != '\0' || value > entry->bits) return false;
    entry->bits = static_cast<unsigned>(value);
    return true;
}

bool prefixMatches(const unsigned char* a, const unsigned char* b, unsigned bits) {
    unsigned whole = bits / 8;
    if (std::memcmp(a, b, whole) != 0) return false;
    unsigned rest = bits % 8;
    if (rest == 0) return true;
    auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

std::string trimmed(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

bool parseAllowList(const char* text, std::vector<AllowEntry>* entries, std::string* bad) {
    entries->clear();
    if (text == nullptr) return true;
    std::string list = text;
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string item = trimmed(list.substr(start, comma - start));
        start = comma + 1;
        if (item.empty() && list.find_first_not_of(" \t,") == std::string::npos) break;
        AllowEntry entry = {};
        if (!parseEntry(item, &entry)) {
            *bad = item;
            return false;
        }
        entries->push_back(entry);
    }
    return true;
}

bool peerAllowed(const std::vector<AllowEntry>& entries, const sockaddr_storage& peer) {
    if (entries.empty()) return true;
    int family = peer.ss_family;
    unsigned char bytes[16];
    if (family == AF_INET) {
        std::memcpy(bytes, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, 4);
    } else if (family == AF_INET6) {
        const in6_addr& address = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        std::memcpy(bytes, &address, 16);
        // A server bound to "::" sees IPv4 peers as ::ffff:a.b.c.d; they match IPv4 entries.
        if (IN6_IS_ADDR_V4MAPPED(&address)) {
            family = AF_INET;
            std::memmove(bytes, bytes + 12, 4);
        }
    } else {
        return false;
    }
    for (const AllowEntry& entry : entries)
        if (entry.family == family && prefixMatches(entry.bytes, bytes, entry.bits)) return true;
    return false;
}

std::string peerText(const sockaddr_storage& peer) {
    char address[INET6_ADDRSTRLEN] = "?";
    char text[INET6_ADDRSTRLEN + 16] = "unknown peer";
    if (peer.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(peer);
        inet_ntop(AF_INET, &v4.sin_addr, address, sizeof address);
        std::snprintf(text, sizeof text, "%s:%u", address, ntohs(v4.sin_port));
    } else if (peer.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(peer);
        inet_ntop(AF_INET6, &v6.sin6_addr, address, sizeof address);
        std::snprintf(text, sizeof text, "[%s]:%u", address, ntohs(v6.sin6_port));
    }
    return text;
}
