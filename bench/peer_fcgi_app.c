/* peer_fcgi_app.c -- the peer's application server: a trivial FastCGI application that answers
   like the sample link-protocol server does for bytes=N (same header, same pattern), after
   reading the whole request body. Usage: peer_fcgi_app ADDRESS:PORT */
#include <fcgiapp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "answer_pattern.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: peer_fcgi_app ADDRESS:PORT\n");
        return 2;
    }
    fill_pattern();
    FCGX_Init();
    int listener = FCGX_OpenSocket(argv[1], 128);
    if (listener < 0) return 1;
    printf("listening on %s\n", argv[1]);
    fflush(stdout);
    FCGX_Request request;
    FCGX_InitRequest(&request, listener, 0);
    static char sink[65536];
    while (FCGX_Accept_r(&request) == 0) {
        while (FCGX_GetStr(sink, sizeof sink, request.in) > 0) {
        }
        const char* query = FCGX_GetParam("QUERY_STRING", request.envp);
        const char* bytes = query == NULL ? NULL : strstr(query, "bytes=");
        size_t size = bytes == NULL ? 0 : strtoull(bytes + 6, NULL, 10);
        FCGX_PutS("Content-type: application/octet-stream\nX-Appserver: bench\n\n", request.out);
        for (size_t done = 0; done < size;) {
            size_t offset = done % PERIOD, count = PERIOD - offset;
            if (count > size - done) count = size - done;
            FCGX_PutStr(pattern + offset, (int)count, request.out);
            done += count;
        }
        FCGX_Finish_r(&request);
    }
    return 0;
}
