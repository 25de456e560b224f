// portable.h -- the few system services the unit tests need, on POSIX systems and on Windows.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

/// A temporary file holding |content|, positioned at its start; binary on every system.
std::FILE* fileHolding(const std::string& content);

/// Everything written to |file| so far.
std::string contentOf(std::FILE* file);

/// A new empty directory under the system's temporary directory.
std::string makeTemporaryDirectory();

/// The name of the null device.
const char* nullDevice();

/// A pipe whose ends are plain descriptors, binary on every system. Returns 0 or -1.
int makePipe(int ends[2]);

/// Descriptor calls under one name on every system.
long readDescriptor(int descriptor, void* area, unsigned size);
long writeDescriptor(int descriptor, const void* data, unsigned size);
int closeDescriptor(int descriptor);
int duplicateDescriptor(int descriptor);
int duplicateDescriptorTo(int descriptor, int target);

/// Opens |name| for writing as a descriptor, truncating it.
int openForWriting(const char* name);

/// |value| in network byte order.
std::uint32_t toNetworkOrder(std::uint32_t value);

/// Makes local time the same as UTC for this process.
void useUtcAsLocalTime();

/// |when| as UTC broken-down time.
std::tm utcTime(std::time_t when);
