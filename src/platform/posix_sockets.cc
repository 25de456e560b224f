// posix_sockets.cc -- the socket library on POSIX systems: BSD sockets, errors in errno.
// sendfile takes 64-bit offsets in a 32-bit build too: a body may pass 2 GiB.
#define _FILE_OFFSET_BITS 64

#include "platform/platform.h"

#include "platform/c_library.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

// There is no library to start on POSIX; report the newest version the gateway knows.
int platformStartSockets(SocketLibraryVersion* granted) {
    granted->major = 2;
    granted->minor = 2;
    return 0;
}

void platformCleanupSockets() {}

int platformSocketError() {
    return errno;
}

int platformLocalHostName(char* area, std::size_t size) {
    if (gethostname(area, size) != 0) return -1;
    area[size - 1] = '\0';
    return 0;
}

std::uint32_t platformDottedAddress(const char* host) {
    in_addr parsed;
    if (inet_aton(host, &parsed) == 0) return noDottedAddress;
    return parsed.s_addr;
}

bool platformLookupHost(const char* host, std::uint32_t* address) {
    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int status;
    do {
        status = getaddrinfo(host, nullptr, &hints, &found);
    } while (status == EAI_SYSTEM && errno == EINTR);
    if (status != 0 || found == nullptr) return false;
    *address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}

SocketHandle platformOpenStreamSocket() {
    int descriptor = socket(AF_INET, SOCK_STREAM, 0);
    return descriptor < 0 ? invalidSocket : descriptor;
}

// An interrupted connect goes on in the background; waiting for it to finish is the retry.
static int finishInterruptedConnect(int descriptor) {
    for (;;) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(descriptor, &writable);
        int ready = select(descriptor + 1, nullptr, &writable, nullptr, nullptr);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        int failure = 0;
        socklen_t length = sizeof failure;
        if (getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) return -1;
        if (failure == 0) return 0;
        errno = failure;
        return -1;
    }
}

static sockaddr_in peerAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in peer = {};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    return peer;
}

// The relay takes at most 8192 bytes per receive and writes each block before the next, so a
// server that answers at length runs ahead of it only as far as the receive buffer lets it. The
// buffer the kernel starts a connection with is small and grows only as the connection goes on:
// the server kept filling the window and sleeping until the gateway had drained a few blocks,
// and on two cores every such pause cost two cross-processor wake-ups. A large buffer lets the
// server write its answer while the gateway copies it. It must be set before connect, which
// fixes the window scale; the kernel caps it at net.core.rmem_max. It reserves nothing: memory
// is taken only for bytes the server has sent and the gateway not yet received.
static constexpr int receiveBufferSize = 4 << 20;

int platformConnect(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
    sockaddr_in peer = peerAddress(address, port);
    int descriptor = static_cast<int>(socket);
    int size = receiveBufferSize;
    setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (connect(descriptor, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0) return 0;
    if (errno == EINTR) return finishInterruptedConnect(descriptor);
    return -1;
}

void platformDisableNagle(SocketHandle socket) {
    int on = 1;
    setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// With Nagle's algorithm off, every block of a long request would leave as a segment of its
// own, and the receiver would be woken for each. From a request's second send on the socket is
// corked, so that the kernel sends only full segments; the cork comes off when the gateway turns
// to the response, and what is left leaves at once. The bytes and the sends stay the same. A
// request of one block is sent uncorked, without the two extra calls.
struct SendGrouping {
    int descriptor = -1;
    int sends = 0;
    bool corked = false;
};
static SendGrouping grouping;

static void groupSends(int descriptor) {
    if (grouping.descriptor != descriptor) grouping = {descriptor, 0, false};
    if (++grouping.sends != 2) return;
#ifdef TCP_CORK
    int on = 1;
    grouping.corked = setsockopt(descriptor, IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0;
#endif
}

static void releaseSends(int descriptor) {
    if (grouping.descriptor != descriptor) return;
#ifdef TCP_CORK
    int off = 0;
    if (grouping.corked) setsockopt(descriptor, IPPROTO_TCP, TCP_CORK, &off, sizeof off);
#endif
    grouping = {};
}

long platformSend(SocketHandle socket, const void* data, std::size_t length) {
    groupSends(static_cast<int>(socket));
    ssize_t sent;
    do {
        sent = send(static_cast<int>(socket), data, length, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return static_cast<long>(sent);
}

// The head goes with MSG_MORE, so that it leaves in one segment with the file's bytes; the file's
// bytes go from the page cache to the socket without a copy through the gateway's memory. A
// partial head is a partial send like any other; a file part that fails after a whole head
// counts as a send of the head alone, and the next send meets the failure again.
long platformSendWithFile(SocketHandle socket, const void* head, std::size_t headLength, int file,
                          std::uint64_t offset, std::size_t fileLength) {
    int descriptor = static_cast<int>(socket);
    groupSends(descriptor);
    ssize_t sent = 0;
    if (headLength > 0) {
        int more = fileLength > 0 ? MSG_MORE : 0;
        do {
            sent = send(descriptor, head, headLength, MSG_NOSIGNAL | more);
        } while (sent < 0 && errno == EINTR);
        if (sent < static_cast<ssize_t>(headLength) || fileLength == 0)
            return static_cast<long>(sent);
    }
    off_t from = static_cast<off_t>(offset);
    ssize_t result;
    do {
        result = sendfile(descriptor, file, &from, fileLength);
    } while (result < 0 && errno == EINTR);
    if (result < 0) return sent > 0 ? static_cast<long>(sent) : -1;
    return static_cast<long>(sent + result);
}

long platformReceive(SocketHandle socket, void* area, std::size_t size) {
    releaseSends(static_cast<int>(socket));
    ssize_t received;
    do {
        received = recv(static_cast<int>(socket), area, size, 0);
    } while (received < 0 && errno == EINTR);
    return static_cast<long>(received);
}

void platformCloseSocket(SocketHandle socket) {
    if (grouping.descriptor == static_cast<int>(socket)) grouping = {};
    close(static_cast<int>(socket));
}

int platformProbeConnect(std::uint32_t address, std::uint16_t port, int milliseconds) {
    int descriptor = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (descriptor < 0) return errno;
    sockaddr_in peer = peerAddress(address, port);
    int failure = 0;
    if (connect(descriptor, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        failure = errno;
        if (failure == EINPROGRESS) {
            pollfd waiting = {descriptor, POLLOUT, 0};
            int ready = poll(&waiting, 1, milliseconds);
            socklen_t length = sizeof failure;
            if (ready == 0)
                failure = ETIMEDOUT;
            else if (ready < 0 ||
                     getsockopt(descriptor, SOL_SOCKET, SO_ERROR, &failure, &length) != 0)
                failure = errno;
        }
    }
    close(descriptor);
    return failure;
}
