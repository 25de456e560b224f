// switches.h -- the two process-wide diagnostic switches, off (0) at start.
#pragma once

#include "platform/c_library.h"

/// Non-zero: the debug trace is written. Set only while the configuration is read.
extern std::int32_t debug;
/// Non-zero: the error page leaves out its detail block. Set only while the configuration is read.
extern std::int32_t terseErrors;
