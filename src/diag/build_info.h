// build_info.h -- the program version and the moment the program was built.
#pragma once

constexpr int gatewayVersionMajor = 1;
constexpr int gatewayVersionMinor = 0;

/// The build date as "Mmm dd yyyy" (the day padded with a blank below 10).
extern const char* const buildDate;
/// The build time as "hh:mm:ss".
extern const char* const buildTime;
