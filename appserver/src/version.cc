// version.cc -- the version of the library as loaded, beside the header's macros.
#include "dostrel/appserver.h"

extern "C" const char* dostrel_appserver_version(void) {
    return DOSTREL_APPSERVER_VERSION;
}
