// c_library.h -- the C library under its std:: names, with or without a C++ library installed.
//
// The gateway uses the C library alone, under the std:: names that <cstdio>, <cstring> and their
// kin give. Those headers belong to the C++ library (libstdc++), which is configured for glibc.
// The Linux gateway is built against musl, whose installation has C headers only, and links no
// C++ library at all (cmake/GatewayMusl.cmake checks that). There this header includes the C
// headers and names in std what the C++ headers would; wherever the C++ library's headers are
// present (the glibc builds, the unit tests, the checker, Windows) it is those headers,
// unchanged. The gateway's files include this header in place of the <c...> headers, so that
// one source serves both.
#pragma once

#if __has_include(<cstdint>)

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#else

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace std {
// <cstdarg>, <cstddef>, <cstdint>
using ::max_align_t;
using ::ptrdiff_t;
using ::size_t;
using ::va_list;
using nullptr_t = decltype(nullptr);
using ::int16_t;
using ::int32_t;
using ::int64_t;
using ::int8_t;
using ::intmax_t;
using ::intptr_t;
using ::uint16_t;
using ::uint32_t;
using ::uint64_t;
using ::uint8_t;
using ::uintmax_t;
using ::uintptr_t;
// <cstdio>
using ::clearerr;
using ::fclose;
using ::feof;
using ::ferror;
using ::fflush;
using ::fgetc;
using ::fgetpos;
using ::fgets;
using ::FILE;
using ::fopen;
using ::fpos_t;
using ::fprintf;
using ::fputc;
using ::fputs;
using ::fread;
using ::freopen;
using ::fscanf;
using ::fseek;
using ::fsetpos;
using ::ftell;
using ::fwrite;
using ::getc;
using ::getchar;
using ::perror;
using ::printf;
using ::putc;
using ::putchar;
using ::puts;
using ::remove;
using ::rename;
using ::rewind;
using ::scanf;
using ::setbuf;
using ::setvbuf;
using ::snprintf;
using ::sprintf;
using ::sscanf;
using ::tmpfile;
using ::ungetc;
using ::vfprintf;
using ::vprintf;
using ::vsnprintf;
using ::vsprintf;
// <cstdlib>
using ::_Exit;
using ::abort;
using ::abs;
using ::atexit;
using ::atoi;
using ::atol;
using ::bsearch;
using ::calloc;
using ::exit;
using ::free;
using ::getenv;
using ::labs;
using ::llabs;
using ::malloc;
using ::qsort;
using ::realloc;
using ::strtol;
using ::strtoll;
using ::strtoul;
using ::strtoull;
// <cstring>
using ::memchr;
using ::memcmp;
using ::memcpy;
using ::memmove;
using ::memset;
using ::strcat;
using ::strchr;
using ::strcmp;
using ::strcpy;
using ::strcspn;
using ::strerror;
using ::strlen;
using ::strncat;
using ::strncmp;
using ::strncpy;
using ::strpbrk;
using ::strrchr;
using ::strspn;
using ::strstr;
// <ctime>
using ::clock;
using ::clock_t;
using ::difftime;
using ::gmtime;
using ::localtime;
using ::mktime;
using ::strftime;
using ::time;
using ::time_t;
using ::timespec;
using ::tm;
} // namespace std

#endif
