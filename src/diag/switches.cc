// switches.cc -- storage of the diagnostic switches.
#include "diag/switches.h"

std::int32_t debug = 0;
std::int32_t terseErrors = 0;
