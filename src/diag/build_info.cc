// build_info.cc -- the build date and time, fixed when this file is compiled.
#include "diag/build_info.h"

const char* const buildDate = __DATE__;
const char* const buildTime = __TIME__;
