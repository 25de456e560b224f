// tcp_transaction.cc -- one TCP exchange: resolve, connect, send the request, relay the response.
#include "link/tcp_transaction.h"

#include "diag/report.h"
#include "diag/trace.h"
#include "link/link_request.h"
#include "link/response_relay.h"
#include "platform/c_library.h"
#include "platform/platform.h"

static constexpr std::size_t localHostNameSize = 1024;

// "-" stands for this machine; from here on every trace line and message shows its name.
static const char* serverHost(const LinkEntry* link, char* localName) {
    if (std::strcmp(link->host, "-") != 0) return link->host;
    if (platformLocalHostName(localName, localHostNameSize) == -1) fatalError(13);
    return localName;
}

// A dotted address is used as it stands; anything else (all-ones included) is looked up.
static std::uint32_t serverAddress(const char* host) {
    std::uint32_t address = platformDottedAddress(host);
    debugTrace("----------------------------------------------");
    debugTrace("resolving hostname for '%s'", host);
    if (address == noDottedAddress && !platformLookupHost(host, &address)) fatalError(6, host);
    return address;
}

static SocketHandle connectToServer(const char* host, std::uint32_t address, std::uint16_t port) {
    SocketHandle socket = platformOpenStreamSocket();
    if (socket == invalidSocket) fatalError(5, platformSocketError());
    debugTrace("connecting to server %s on port %hu", host, port);
    if (platformConnect(socket, address, port) != 0) {
        int errorCode = platformSocketError();
        fatalError(4, host, static_cast<unsigned>(port), errorCode);
    }
    platformDisableNagle(socket);
    return socket;
}

void runTcpTransaction(std::int32_t envCount, char** envStrings, const char* body,
                       std::uint32_t bodyLength, const LinkEntry* link, int bodyFile,
                       std::uint64_t bodyOffset) {
    char localName[localHostNameSize];
    const char* host = serverHost(link, localName);
    std::uint32_t address = serverAddress(host);
    SocketHandle socket = connectToServer(host, address, link->port);
    sendLinkRequest(socket, envCount, envStrings, body, bodyLength, bodyFile, bodyOffset);
    relayResponse(socket, host, link->port);
    debugTrace("closing socket");
    platformCloseSocket(socket);
}
