// tokens.cc -- the token rules of configuration lines.
#include "config/tokens.h"

#include "platform/c_library.h"

bool isConfigDelimiter(char c) {
    return c == ' ' || c == '\a' || c == '\b' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
           c == '\r';
}

char* takeToken(char* text, char** remainder) {
    while (*text != '\0' && isConfigDelimiter(*text))
        ++text;
    if (*text == '\0') {
        *remainder = text;
        return nullptr;
    }
    char* token = text;
    while (*text != '\0' && !isConfigDelimiter(*text))
        ++text;
    if (*text != '\0') *text++ = '\0';
    *remainder = text;
    return token;
}
