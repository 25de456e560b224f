// config_reader.cc -- reads dostrel.cnf line by line into a GatewayConfig, warning on bad lines.
#include "config/decimal.h"
#include "config/gateway_config.h"
#include "config/link_table.h"
#include "config/tokens.h"
#include "diag/report.h"
#include "diag/switches.h"
#include "platform/ascii.h"
#include "platform/c_library.h"
#include "platform/platform.h"

const char* configFileName() {
    return "dostrel.cnf";
}

int parseSwitchValue(const char* text) {
    static const char* const onWords[] = {"true", "on", "1", "+"};
    static const char* const offWords[] = {"false", "off", "0", "-"};
    for (const char* word : onWords)
        if (equalsIgnoringCase(text, word)) return 1;
    for (const char* word : offWords)
        if (equalsIgnoringCase(text, word)) return 0;
    return -1;
}

// The value of a switch line; an invalid value is warned about and switches off.
static bool takeSwitchValue(char* rest, const char* keyword, std::int32_t* result) {
    char* after;
    char* value = takeToken(rest, &after);
    if (value == nullptr) {
        reportWarning(3, keyword);
        return false;
    }
    int parsed = parseSwitchValue(value);
    if (parsed < 0) {
        reportWarning(2, value, keyword);
        parsed = 0;
    }
    *result = parsed;
    return true;
}

static void handleDebug(GatewayConfig* config, char* rest) {
    std::int32_t value;
    if (!takeSwitchValue(rest, "debug", &value)) return;
    config->debug = value;
    debug = value;
}

static void handleTerseErrors(char* rest) {
    std::int32_t value;
    if (takeSwitchValue(rest, "terseErrors", &value)) terseErrors = value;
}

static char* copyText(const char* text) {
    std::size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy != nullptr) std::memcpy(copy, text, size);
    return copy;
}

static void addTcpLink(GatewayConfig* config, const char* path, char* tail) {
    char* rest;
    char* host = takeToken(tail, &rest);
    char* portText = host == nullptr ? nullptr : takeToken(rest, &rest);
    if (portText == nullptr) {
        reportWarning(3, "link");
        return;
    }
    std::uint32_t port;
    const char* end = scanDecimal32(portText, &port);
    if (end == portText || *end != '\0' || port > 65535) {
        reportWarning(6, portText);
        return;
    }
    char* pathCopy = copyText(path);
    char* hostCopy = copyText(host);
    if (pathCopy == nullptr || hostCopy == nullptr) fatalError(1);
    appendLink(config, pathCopy, hostCopy, static_cast<std::uint16_t>(port));
}

static void handleLink(GatewayConfig* config, char* rest) {
    char* afterPath;
    char* tail = nullptr;
    char* path = takeToken(rest, &afterPath);
    char* protocol = path == nullptr ? nullptr : takeToken(afterPath, &tail);
    if (protocol == nullptr || *tail == '\0') {
        reportWarning(3, "link");
        return;
    }
    if (!equalsIgnoringCase(protocol, "tcp")) {
        reportWarning(5, protocol);
        return;
    }
    addTcpLink(config, path, tail);
}

void handleConfigLine(GatewayConfig* config, char* line) {
    char* rest;
    char* keyword = takeToken(line, &rest);
    if (keyword == nullptr) return;
    if (*rest == '\0') {
        reportWarning(4, keyword);
        return;
    }
    if (equalsIgnoringCase(keyword, "link"))
        handleLink(config, rest);
    else if (equalsIgnoringCase(keyword, "debug"))
        handleDebug(config, rest);
    else if (equalsIgnoringCase(keyword, "terseErrors"))
        handleTerseErrors(rest);
    else
        reportWarning(1, keyword);
}

void readGatewayConfig(std::FILE* file, GatewayConfig* config) {
    char line[1024];
    while (!std::feof(file)) {
        if (std::fgets(line, sizeof line, file) == nullptr) break;
        if (char* comment = std::strchr(line, '#')) *comment = '\0';
        if (line[0] == '\0') continue;
        handleConfigLine(config, line);
    }
}

GatewayConfig* loadGatewayConfig() {
    std::FILE* file = platformOpenTextFile(configFileName(), "r");
    if (file == nullptr) fatalError(2, configFileName());
    // A buffer of our own spares the stream the system call that would size one.
    static char readBuffer[4096];
    std::setvbuf(file, readBuffer, _IOFBF, sizeof readBuffer);
    GatewayConfig* config = static_cast<GatewayConfig*>(std::calloc(1, sizeof(GatewayConfig)));
    if (config == nullptr) fatalError(1);
    readGatewayConfig(file, config);
    std::fclose(file);
    return config;
}
