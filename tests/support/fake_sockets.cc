// fake_sockets.cc -- the scripted socket layer: start-up, send and receive follow FakeSockets.
#include "fake_sockets.h"

#include "portable.h"

#include <cstdio>
#include <cstring>

FakeSockets fakeSockets;

void resetFakeSockets() {
    fakeSockets = FakeSockets{};
}

int platformStartSockets(SocketLibraryVersion* granted) {
    *granted = fakeSockets.grantedVersion;
    return fakeSockets.startResult;
}

void platformCleanupSockets() {
    ++fakeSockets.cleanupCalls;
}

int platformSocketError() {
    return fakeSockets.errorCode;
}

int platformLocalHostName(char* area, std::size_t size) {
    if (fakeSockets.hostNameFails) return -1;
    std::strncpy(area, "fakehost", size);
    area[size - 1] = '\0';
    return 0;
}

std::uint32_t platformDottedAddress(const char* host) {
    unsigned parts[4];
    char rest;
    if (std::sscanf(host, "%3u.%3u.%3u.%3u%c", &parts[0], &parts[1], &parts[2], &parts[3], &rest) !=
        4)
        return noDottedAddress;
    std::uint32_t address = 0;
    for (unsigned part : parts) {
        if (part > 255) return noDottedAddress;
        address = (address << 8) | part;
    }
    return toNetworkOrder(address);
}

bool platformLookupHost(const char* host, std::uint32_t* address) {
    fakeSockets.lookedUp.push_back(host);
    if (fakeSockets.lookupSucceeds) *address = toNetworkOrder(0x7F000001);
    return fakeSockets.lookupSucceeds;
}

SocketHandle platformOpenStreamSocket() {
    return fakeSockets.socketFails ? invalidSocket : 7;
}

int platformConnect(SocketHandle, std::uint32_t address, std::uint16_t port) {
    fakeSockets.connectedAddress = address;
    fakeSockets.connectedPort = port;
    return fakeSockets.connectResult;
}

void platformDisableNagle(SocketHandle) {}

long platformSend(SocketHandle, const void* data, std::size_t length) {
    fakeSockets.sendOffered.push_back(length);
    long result = FakeSockets::acceptAll;
    if (!fakeSockets.sendScript.empty()) {
        result = fakeSockets.sendScript.front();
        fakeSockets.sendScript.pop_front();
    }
    if (result == FakeSockets::acceptAll || result > static_cast<long>(length))
        result = static_cast<long>(length);
    if (result > 0) fakeSockets.sentBytes.append(static_cast<const char*>(data), result);
    return result;
}

// The file's bytes are read where they stand and offered with the head as one send.
long platformSendWithFile(SocketHandle socket, const void* head, std::size_t headLength, int file,
                          std::uint64_t offset, std::size_t fileLength) {
    std::string staged(static_cast<const char*>(head), headLength);
    staged.resize(headLength + fileLength);
    for (std::size_t at = headLength; at < staged.size();) {
        long got =
            platformReadFileAt(file, offset + (at - headLength), &staged[at], staged.size() - at);
        if (got <= 0) return -1;
        at += static_cast<std::size_t>(got);
    }
    return platformSend(socket, staged.data(), staged.size());
}

long platformReceive(SocketHandle, void* area, std::size_t size) {
    if (fakeSockets.receiveFails) return -1;
    if (fakeSockets.receiveScript.empty()) return 0;
    std::string& chunk = fakeSockets.receiveScript.front();
    std::size_t count = chunk.size() < size ? chunk.size() : size;
    std::memcpy(area, chunk.data(), count);
    chunk.erase(0, count);
    if (chunk.empty()) fakeSockets.receiveScript.pop_front();
    return static_cast<long>(count);
}

void platformCloseSocket(SocketHandle) {}

int platformProbeConnect(std::uint32_t, std::uint16_t, int) {
    return fakeSockets.connectResult;
}
