// environment.cc -- keeps the environment list and answers lookups by name, ignoring case.
#include "platform/environment.h"

#include "diag/report.h"
#include "platform/ascii.h"
#include "platform/c_library.h"

char** envStrings = nullptr;
std::int32_t envCount = 0;

static char* emptyEnvironment[] = {nullptr};

// Windows hands the program hidden entries such as "=C:=C:\dir"; they are no variables.
static bool isHiddenEntry(const char* entry) {
    return entry[0] == '=';
}

void takeEnvironment(char** received) {
    if (received == nullptr) received = emptyEnvironment;
    std::int32_t total = 0;
    std::int32_t hidden = 0;
    for (; received[total] != nullptr; ++total)
        if (isHiddenEntry(received[total])) ++hidden;
    // A list of our own made by an earlier call (tests take several environments) goes first.
    static char** ownList = nullptr;
    std::free(ownList);
    ownList = nullptr;
    if (hidden == 0) {
        envStrings = received;
        envCount = total;
        return;
    }
    char** kept = static_cast<char**>(std::malloc(sizeof(char*) * (total - hidden + 1)));
    if (kept == nullptr) fatalError(1);
    ownList = kept;
    std::int32_t count = 0;
    for (std::int32_t i = 0; i < total; ++i)
        if (!isHiddenEntry(received[i])) kept[count++] = received[i];
    kept[count] = nullptr;
    envStrings = kept;
    envCount = count;
}

const char* lookupEnvironment(const char* name) {
    if (envStrings == nullptr) return nullptr;
    std::size_t length = std::strlen(name);
    for (char** entry = envStrings; *entry != nullptr; ++entry)
        if (equalPrefixIgnoringCase(*entry, name, length) && (*entry)[length] == '=')
            return *entry + length + 1;
    return nullptr;
}
