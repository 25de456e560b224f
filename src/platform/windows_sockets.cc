// windows_sockets.cc -- the socket library on Windows: Windows Sockets 1.1 or later.
#include "platform/platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

int platformStartSockets(SocketLibraryVersion* granted) {
    WSADATA data;
    int result = WSAStartup(MAKEWORD(1, 1), &data);
    if (result != 0) return result;
    granted->major = LOBYTE(data.wVersion);
    granted->minor = HIBYTE(data.wVersion);
    return 0;
}

void platformCleanupSockets() { WSACleanup(); }

int platformSocketError() { return WSAGetLastError(); }

int platformLocalHostName(char* area, std::size_t size) {
    if (gethostname(area, static_cast<int>(size)) != 0) return -1;
    area[size - 1] = '\0';
    return 0;
}

std::uint32_t platformDottedAddress(const char* host) {
    unsigned long address = inet_addr(host);
    return address == INADDR_NONE ? noDottedAddress : static_cast<std::uint32_t>(address);
}

bool platformLookupHost(const char* host, std::uint32_t* address) {
    hostent* found = gethostbyname(host);
    if (found == nullptr || found->h_addrtype != AF_INET || found->h_addr_list[0] == nullptr)
        return false;
    std::memcpy(address, found->h_addr_list[0], 4);
    return true;
}

SocketHandle platformOpenStreamSocket() {
    SOCKET handle = socket(AF_INET, SOCK_STREAM, 0);
    return handle == INVALID_SOCKET ? invalidSocket : static_cast<SocketHandle>(handle);
}

static sockaddr_in peerAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    return peer;
}

int platformConnect(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
    sockaddr_in peer = peerAddress(address, port);
    return connect(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&peer), sizeof peer) ==
                   0
               ? 0
               : -1;
}

void platformDisableNagle(SocketHandle socket) {
    int on = 1;
    setsockopt(static_cast<SOCKET>(socket), IPPROTO_TCP, TCP_NODELAY,
               reinterpret_cast<const char*>(&on), sizeof on);
}

// Windows Sockets take an int length; the gateway never sends more than one buffer at a time.
long platformSend(SocketHandle socket, const void* data, std::size_t length) {
    return send(static_cast<SOCKET>(socket), static_cast<const char*>(data),
                static_cast<int>(length), 0);
}

// No call sends from a file and memory together here: the head and the file's bytes are gathered
// in one block of the send buffer's size and sent with one send, as a body in memory would be.
long platformSendWithFile(SocketHandle socket, const void* head, std::size_t headLength, int file,
                          std::uint64_t offset, std::size_t fileLength) {
    char block[8192];
    if (headLength > sizeof block) headLength = sizeof block;
    if (fileLength > sizeof block - headLength) fileLength = sizeof block - headLength;
    std::memcpy(block, head, headLength);
    std::size_t gathered = 0;
    while (gathered < fileLength) {
        long count = platformReadFileAt(file, offset + gathered, block + headLength + gathered,
                                        fileLength - gathered);
        if (count <= 0) {
            DWORD failure = GetLastError();
            WSASetLastError(static_cast<int>(failure != 0 ? failure : ERROR_HANDLE_EOF));
            return -1;
        }
        gathered += static_cast<std::size_t>(count);
    }
    return platformSend(socket, block, headLength + fileLength);
}

long platformReceive(SocketHandle socket, void* area, std::size_t size) {
    return recv(static_cast<SOCKET>(socket), static_cast<char*>(area), static_cast<int>(size), 0);
}

void platformCloseSocket(SocketHandle socket) { closesocket(static_cast<SOCKET>(socket)); }

int platformProbeConnect(std::uint32_t address, std::uint16_t port, int milliseconds) {
    SOCKET handle = socket(AF_INET, SOCK_STREAM, 0);
    if (handle == INVALID_SOCKET) return WSAGetLastError();
    u_long nonBlocking = 1;
    ioctlsocket(handle, FIONBIO, &nonBlocking);
    sockaddr_in peer = peerAddress(address, port);
    int failure = 0;
    if (connect(handle, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        failure = WSAGetLastError();
        if (failure == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(handle, &writable);
            FD_SET(handle, &failed);
            timeval limit = {milliseconds / 1000, (milliseconds % 1000) * 1000};
            int ready = select(0, nullptr, &writable, &failed, &limit);
            int length = sizeof failure;
            if (ready == 0)
                failure = WSAETIMEDOUT;
            else if (FD_ISSET(handle, &failed))
                getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure),
                           &length);
            else
                failure = 0;
        }
    }
    closesocket(handle);
    return failure;
}
