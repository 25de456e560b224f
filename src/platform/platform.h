// platform.h -- the operating-system services the gateway uses, under names of our own.
//
// The socket half lives in one file per platform (and a scripted fake for the unit tests, chosen
// at link time); the process half in another. Nothing above this layer includes a system header
// for sockets, descriptors or signals.
#pragma once

#include "platform/c_library.h"

/// A connected or unconnected stream socket; printed in messages as a decimal number.
using SocketHandle = std::intptr_t;
constexpr SocketHandle invalidSocket = -1;

/// Stands for "no file": a request body held in memory has none.
constexpr int noFile = -1;

/// Marks a host text that is no dotted IPv4 address (all 32 bits set, as 255.255.255.255 gives).
constexpr std::uint32_t noDottedAddress = 0xFFFFFFFFu;

/// The socket library version that start-up grants.
struct SocketLibraryVersion {
    unsigned major;
    unsigned minor;
};

// --- Sockets -------------------------------------------------------------------------------

/// Starts the socket library, asking for version 1.1. Returns 0 on success and fills |granted|.
int platformStartSockets(SocketLibraryVersion* granted);
/// Undoes platformStartSockets; safe to call when start-up failed or never ran.
void platformCleanupSockets();
/// The error code of the socket call that failed last.
int platformSocketError();
/// This machine's host name, always zero-terminated within |size| bytes. Returns 0 or -1.
int platformLocalHostName(char* area, std::size_t size);
/// A dotted IPv4 text as an address in network byte order, or noDottedAddress.
std::uint32_t platformDottedAddress(const char* host);
/// Looks |host| up and stores its first IPv4 address (network byte order). False when none.
bool platformLookupHost(const char* host, std::uint32_t* address);
/// A new TCP stream socket, or invalidSocket.
SocketHandle platformOpenStreamSocket();
/// Connects to |address| (network order) at |port| (host order). Returns 0 or -1.
int platformConnect(SocketHandle socket, std::uint32_t address, std::uint16_t port);
/// Hands small writes to the network at once; failure is ignored.
void platformDisableNagle(SocketHandle socket);
/// One send; returns the bytes taken, 0, or -1. Never raises a signal; interrupted calls retry.
long platformSend(SocketHandle socket, const void* data, std::size_t length);
/// One send of |headLength| bytes from |head| followed by |fileLength| bytes of |file| from
/// |offset| on, as if they stood in one area: returns the bytes taken from both together, 0, or
/// -1. The file's position is not used. The two lengths together are at most 8192.
long platformSendWithFile(SocketHandle socket, const void* head, std::size_t headLength, int file,
                          std::uint64_t offset, std::size_t fileLength);
/// One receive; returns the bytes delivered, 0 at the peer's close, or -1.
long platformReceive(SocketHandle socket, void* area, std::size_t size);
/// Closes the socket; the outcome is ignored.
void platformCloseSocket(SocketHandle socket);
/// Tries a TCP connection to |address| (network order) at |port|, giving up after
/// |milliseconds|; closes it again. Returns 0 when it was accepted, else the error code
/// (ETIMEDOUT's value when the time ran out).
int platformProbeConnect(std::uint32_t address, std::uint16_t port, int milliseconds);

// --- Process -------------------------------------------------------------------------------

/// Opens the null device on whichever of descriptors 0, 1 and 2 is closed, so that no socket or
/// file the gateway opens can take the place of a standard stream.
void platformOpenStandardDescriptors();
/// Makes a write to a vanished reader fail with an error instead of ending the process.
void platformIgnoreBrokenPipe();
/// Switches standard output to untranslated bytes; the outcome is ignored.
void platformMakeStdoutBinary();
/// The path of the running executable, or the empty text when it cannot be had.
const char* platformOwnExecutablePath();
/// One read from a descriptor; returns the bytes read, 0 at its end, or -1.
long platformReadDescriptor(int descriptor, void* area, std::size_t size);
/// One write to a descriptor; returns the bytes written or -1.
long platformWriteDescriptor(int descriptor, const void* data, std::size_t length);
/// One read of |file| at |offset|, leaving its position alone; returns the bytes read, 0 at its
/// end, or -1.
long platformReadFileAt(int file, std::uint64_t offset, void* area, std::size_t size);
/// When |descriptor| is a regular file: true, with its current position and its size.
bool platformRegularFileSpan(int descriptor, std::uint64_t* position, std::uint64_t* size);
/// A second descriptor for what |descriptor| refers to, not inherited by programs started later;
/// -1 on failure.
int platformDuplicateDescriptor(int descriptor);
/// Where temporary files go: TMPDIR when it is set and not empty, else /tmp; on Windows the
/// system's directory for them.
const char* platformTemporaryDirectory();
/// A new file in |directory|, open for reading and writing, that no name refers to (or whose
/// name goes when it is closed): it disappears when the process ends, however it ends. Returns
/// its descriptor, or -1 with the reason in platformFileError.
int platformCreateUnnamedFile(const char* directory);
/// The error code of the file operation that failed last.
int platformFileError();
/// Closes a descriptor; the outcome is ignored.
void platformCloseDescriptor(int descriptor);
/// The current directory into |area|; false when it cannot be had or does not fit.
bool platformCurrentDirectory(char* area, std::size_t size);
/// Opens a file in the current directory as text, shared with other processes.
std::FILE* platformOpenTextFile(const char* name, const char* mode);
/// The local time of |when|; false when the clock value cannot be converted.
bool platformLocalTime(std::time_t when, std::tm* local);
/// Zero-filled room for the request body, kept until the process ends; null when the system
/// cannot give it.
void* platformAllocateBody(std::size_t size);
/// Flushes every buffered output stream and ends the process; no exit handlers run.
[[noreturn]] void platformExitProcess(int status);
