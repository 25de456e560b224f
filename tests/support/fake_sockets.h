// fake_sockets.h -- a scripted socket layer for the unit tests, linked in place of the real one.
#pragma once

#include "platform/platform.h"

#include <deque>
#include <string>
#include <vector>

/// What the fake socket layer does and what it saw. Reset it at the start of every test.
struct FakeSockets {
    int startResult = 0;
    SocketLibraryVersion grantedVersion = {2, 2};
    int cleanupCalls = 0;
    int errorCode = 0;

    // Name lookups succeed (with 127.0.0.1) unless told otherwise; every name looked up is kept.
    bool lookupSucceeds = true;
    bool hostNameFails = false;
    bool socketFails = false;
    std::vector<std::string> lookedUp;
    int connectResult = 0;
    std::uint32_t connectedAddress = 0; // network byte order
    std::uint16_t connectedPort = 0;

    // Each send takes the next scripted result: acceptAll takes everything offered, a positive
    // count takes at most that many bytes, 0 and -1 are returned as they are. An empty script
    // accepts everything.
    static constexpr long acceptAll = -2;
    std::deque<long> sendScript;
    std::vector<std::size_t> sendOffered; // bytes offered to each send
    std::string sentBytes;                // every byte taken, in order

    // Each receive delivers the next chunk; "" is the peer's close. An empty script closes. By
    // default the server answers briefly: a close before any byte is an error of its own.
    std::deque<std::string> receiveScript = {"Status: 200\n\n"};
    bool receiveFails = false;
};

extern FakeSockets fakeSockets;

/// Restores the fake to its defaults.
void resetFakeSockets();
