// error_page.cc -- writes the status header and the HTML error page of a fatal error.
#include "diag/error_page.h"

#include "diag/build_info.h"
#include "diag/catalogue.h"
#include "diag/report.h"
#include "diag/switches.h"
#include "platform/environment.h"

char errorPageDirectory[1024] = "";

const char* pageEnvValue(const char* name) {
    const char* value = lookupEnvironment(name);
    return value == nullptr ? "?" : value;
}

// The path, the message and the server's variables come partly from the HTTP client; written
// raw they would let a request plant markup in the page.
void writeHtmlEscaped(std::FILE* out, const char* text) {
    const char* plain = text;
    for (const char* p = text; *p != '\0'; ++p) {
        const char* entity = nullptr;
        switch (*p) {
        case '&':
            entity = "&amp;";
            break;
        case '<':
            entity = "&lt;";
            break;
        case '>':
            entity = "&gt;";
            break;
        case '"':
            entity = "&quot;";
            break;
        default:
            continue;
        }
        std::fwrite(plain, 1, static_cast<std::size_t>(p - plain), out);
        std::fputs(entity, out);
        plain = p + 1;
    }
    std::fputs(plain, out);
}

static void writePageLine(std::FILE* out, const char* label, const char* value, const char* end) {
    std::fputs(label, out);
    writeHtmlEscaped(out, value);
    std::fputs(end, out);
}

static void writeDetailBlock(std::FILE* out, const char* message) {
    writePageLine(out, "<b><pre>\n", message, "\n</pre></b>\n");
    std::fputs("<p>\n", out);
    std::fprintf(out, "<br>Brennox version: %d.%d\n", gatewayVersionMajor, gatewayVersionMinor);
    std::fprintf(out, "<br>compiled on: %s %s\n", buildDate, buildTime);
    writePageLine(out, "<br>server software: ", pageEnvValue("SERVER_SOFTWARE"), "\n");
    writePageLine(out, "<br>server name: ", pageEnvValue("SERVER_NAME"), " \n");
    writePageLine(out, "<br>gateway interface: ", pageEnvValue("GATEWAY_INTERFACE"), "\n");
    writePageLine(out, "<br>script name: ", pageEnvValue("SCRIPT_NAME"), "\n");
    writePageLine(out, "<br>current directory: ", errorPageDirectory, "\n");
    std::fputs("\n", out);
}

void writeErrorPage(std::FILE* out, std::int32_t number, const char* message) {
    std::fprintf(out, "Status: %d %s\n", errorStatusCode(number), errorStatusReason(number));
    std::fputs("Content-type: text/html\n"
               "\n"
               "<html>\n"
               "<head>\n"
               "<title>Brennox Error</title>\n"
               "</head>\n"
               "<body>\n"
               "<h1>Brennox Error</h1>\n"
               "\n"
               "<p>Error processing a Brennox transaction.\n"
               "<p>\n"
               "<b>",
               out);
    writeHtmlEscaped(out, programPath);
    std::fprintf(out, ": error %ld</b>\n", static_cast<long>(number));
    if (terseErrors == 0) writeDetailBlock(out, message);
    std::fputs("</body>\n"
               "</html>\n",
               out);
}
