// fuzz_request_roundtrip.cc -- the request encoder fed arbitrary environment strings and bodies,
// through randomly partial sends; the sample server's decoder must read back exactly them.
#include "fake_sockets.h"
#include "link/link_request.h"
#include "link/send_buffer.h"
#include "link_request_reader.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    std::string input(reinterpret_cast<const char*>(data), size);
    resetFakeSockets();
    sendBuffer.fill = 0;
    // The first byte scripts the sends (0: all taken, else at most that many bytes a send),
    // the second tells how many zero-separated environment strings follow; the rest is body.
    long sendLimit = static_cast<unsigned char>(input[0]);
    for (long i = 0; i < 64 && sendLimit > 0; ++i)
        fakeSockets.sendScript.push_back((sendLimit * 37 + i * 101) % 9000 + 1);
    std::size_t count = static_cast<unsigned char>(input[1]) % 32;
    std::vector<std::string> env;
    std::size_t at = 2;
    for (std::size_t i = 0; i < count && at <= input.size(); ++i) {
        std::size_t end = input.find('\0', at);
        if (end == std::string::npos) end = input.size();
        env.push_back(input.substr(at, end - at));
        at = end + 1;
    }
    std::string body = at < input.size() ? input.substr(at) : "";

    std::vector<char*> strings;
    for (std::string& entry : env)
        strings.push_back(entry.data());
    strings.push_back(nullptr);
    sendLinkRequest(7, static_cast<std::int32_t>(env.size()), strings.data(), body.data(),
                    static_cast<std::uint32_t>(body.size()));

    LinkRequest decoded;
    std::size_t consumed = 0;
    if (decodeLinkRequest(fakeSockets.sentBytes, &decoded, &consumed) != DecodeStatus::Complete ||
        consumed != fakeSockets.sentBytes.size() || decoded.majorVersion != 1 ||
        decoded.minorVersion != 0 || decoded.keys.size() != env.size() + 1)
        std::abort();
    for (std::size_t i = 0; i < env.size(); ++i) {
        std::size_t equals = env[i].find('=');
        std::string name = env[i].substr(0, equals);
        std::string value = equals == std::string::npos ? "" : env[i].substr(equals + 1);
        if (decoded.keys[i].name != name || decoded.keys[i].value != value) std::abort();
    }
    if (decoded.keys.back().name != "XBRENNOX_CONTENT_DATA" || decoded.keys.back().value != body)
        std::abort();
    return 0;
}
