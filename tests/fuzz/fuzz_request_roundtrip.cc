// fuzz_request_roundtrip.cc -- the request encoder fed arbitrary environment strings and bodies,
// through randomly partial sends; the application-server library's decoder must read back
// exactly them.
#include "dostrel/appserver.h"
#include "fake_sockets.h"
#include "link/link_request.h"
#include "link/send_buffer.h"

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

    const std::string& sent = fakeSockets.sentBytes;
    dostrel_limits limits = dostrel_limits_default();
    limits.max_keys = 64;
    dostrel_request* decoded = nullptr;
    std::size_t consumed = 0;
    if (dostrel_decode(sent.data(), sent.size(), &limits, &decoded, &consumed) != DOSTREL_OK ||
        consumed != sent.size() || dostrel_request_major(decoded) != 1 ||
        dostrel_request_minor(decoded) != 0 || dostrel_request_count(decoded) != env.size())
        std::abort();
    for (std::size_t i = 0; i < env.size(); ++i) {
        std::size_t equals = env[i].find('=');
        std::string name = env[i].substr(0, equals);
        std::string value = equals == std::string::npos ? "" : env[i].substr(equals + 1);
        std::size_t nameLength, valueLength;
        const char* decodedName = dostrel_request_name(decoded, i, &nameLength);
        const char* decodedValue = dostrel_request_value(decoded, i, &valueLength);
        if (std::string(decodedName, nameLength) != name ||
            std::string(decodedValue, valueLength) != value)
            std::abort();
    }
    std::size_t bodyLength;
    const char* decodedBody = dostrel_request_body(decoded, &bodyLength);
    if (std::string(decodedBody, bodyLength) != body) std::abort();
    dostrel_request_free(decoded);
    return 0;
}
