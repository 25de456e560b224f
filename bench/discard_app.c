/* discard_app.c -- the gateway's application server for S4: reads each link request, throws the
   values away as it reads them (as the peer's FastCGI application does with its body), and
   answers like the sample server does for bytes=N. Serves one connection after another.
   Usage: discard_app PORT (0: any free port); prints "listening on 127.0.0.1:PORT". */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "answer_pattern.h"

/* The connection's bytes, read in large blocks and handed out exactly. */
static int connection;
static unsigned char block[65536];
static size_t have, at;

static int take(void* into, size_t count) {
    while (count > 0) {
        if (at == have) {
            ssize_t got = read(connection, block, sizeof block);
            if (got <= 0) return 0;
            have = (size_t)got;
            at = 0;
        }
        size_t part = have - at < count ? have - at : count;
        if (into != NULL) {
            memcpy(into, block + at, part);
            into = (char*)into + part;
        }
        at += part;
        count -= part;
    }
    return 1;
}

static int number(uint32_t* value) {
    unsigned char bytes[4];
    if (!take(bytes, 4)) return 0;
    *value = (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | bytes[3];
    return 1;
}

static void sendAll(const char* data, size_t length) {
    while (length > 0) {
        ssize_t sent = write(connection, data, length);
        if (sent <= 0) return;
        data += sent;
        length -= (size_t)sent;
    }
}

/* Reads one request; the value of QUERY_STRING (kept when short) gives N of bytes=N. */
static void serve(void) {
    uint32_t cookie, major, minor, keys, length;
    char name[64], query[256] = "";
    have = at = 0;
    if (!number(&cookie) || cookie != 0x09231963u || !number(&major) || !number(&minor) ||
        !number(&keys))
        return;
    for (uint32_t i = 0; i < keys; ++i) {
        if (!number(&length)) return;
        int keep = length < sizeof name;
        if (!take(keep ? name : NULL, length)) return;
        if (keep) name[length] = '\0';
        int isQuery = keep && strcmp(name, "QUERY_STRING") == 0;
        if (!number(&length)) return;
        keep = isQuery && length < sizeof query;
        if (!take(keep ? query : NULL, length)) return;
        if (keep) query[length] = '\0';
    }
    const char* bytes = strstr(query, "bytes=");
    size_t size = bytes == NULL ? 0 : strtoull(bytes + 6, NULL, 10);
    static const char header[] = "Content-type: application/octet-stream\nX-Appserver: bench\n\n";
    sendAll(header, sizeof header - 1);
    for (size_t done = 0; done < size;) {
        size_t offset = done % PERIOD, count = PERIOD - offset;
        if (count > size - done) count = size - done;
        sendAll(pattern + offset, count);
        done += count;
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: discard_app PORT\n");
        return 2;
    }
    fill_pattern();
    int listener = socket(AF_INET, SOCK_STREAM, 0), on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in address = {0};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)atoi(argv[1]));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener, (struct sockaddr*)&address, sizeof address) != 0 ||
        listen(listener, 128) != 0 ||
        getsockname(listener, (struct sockaddr*)&address, &size) != 0) {
        perror("discard_app");
        return 1;
    }
    printf("listening on 127.0.0.1:%u\n", ntohs(address.sin_port));
    fflush(stdout);
    for (;;) {
        connection = accept(listener, NULL, NULL);
        if (connection < 0) continue;
        setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        serve();
        close(connection);
    }
}
