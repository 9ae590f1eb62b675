// The one platform seam. Everything that differs between operating systems
// or processors (thread naming, durable flushes, socket flags, error texts,
// entropy, the CRC's instruction-set fast path) lives behind these
// functions; no other file uses #if on the OS or the CPU.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

namespace mevora::platform {

// Names the calling thread (truncated to what the OS allows, 15 bytes on
// Linux) so it shows in thread listings.
void set_current_thread_name(const char* name);
// Names another thread of this process by its native handle.
void set_thread_name(std::thread::native_handle_type thread, const char* name);

// write(2) on a file (the log, a snapshot, the LOCK file): the bytes
// written, or -1 with errno set. Not retried: callers loop over partial
// writes and EINTR. Subject to the injected faults below.
ssize_t write_file(int fd, const void* data, std::size_t len);

// Durably flushes an open file to stable storage, retrying on EINTR.
// Returns 0 or the errno of the failure. Subject to the injected faults.
int sync_file(int fd);

// Durably flushes a directory's entries (after create, rename, unlink).
// Returns 0 or the errno of the failure.
int sync_dir(const char* path);

// Asks the OS to start writing the file's dirty pages back now, without
// waiting for them (a hint that spreads the device work of a large file
// over its writing; sync_file is still what makes it durable). Errors are
// ignored.
void start_writeback(int fd);

// Flags for send(2) on sockets: a write to a vanished peer returns EPIPE
// instead of raising SIGPIPE.
int send_flags();

// A stream socket of the given address family whose descriptor is closed
// on exec (and, when asked, in non-blocking mode), created in one step so
// that no fork in between can inherit it: the descriptor, or -1 with errno.
int stream_socket(int family, bool nonblocking);
// accept(2) on a listening socket, the new descriptor closed on exec from
// the start: the descriptor, or -1 with errno.
int accept_connection(int listener);

// The C library's description of an errno value ("No such file or
// directory"), safe to call from any thread.
std::string error_description(int err);

// Advances a reflected CRC-32 state (polynomial 0xEDB88320, the state
// already inverted, as the table-driven loop keeps it) over len bytes with
// the processor's carry-less multiplication, where it has one. len must be
// a multiple of 16 and at least 64. Returns false, state untouched, when
// this processor lacks the instructions; the caller then runs its tables.
bool crc32_fold(std::uint32_t& state, const char* p, std::size_t len);

// Fills buf with len bytes from the operating system's random source.
// Falls back to a clock-derived mix only if the source fails.
void fill_random(void* buf, std::size_t len);

// Wall-clock milliseconds since the Unix epoch; 0 before the epoch.
std::uint64_t wall_clock_ms();

// Raises this process's soft limit on open descriptors to its hard limit
// where the system allows it (an unlimited hard limit is raised as far as
// the kernel's per-process maximum), and returns the soft limit now in
// force; UINT64_MAX stands for unlimited. A refused raise leaves the limit
// as it was.
std::uint64_t raise_descriptor_limit();

// How many descriptors this process has open now; 0 if it cannot be told.
std::uint64_t open_descriptor_count();

// ---- fault injection, for tests ----------------------------------------------
//
// Makes file writes (write_file) or file syncs (sync_file) fail as a full
// or failing disk would, process-wide. Unarmed, the check costs one relaxed
// atomic load per call.
enum class FaultOp : std::uint8_t { Write, Sync };

// From now on the nth call of op (1 = the very next one) and the `times` - 1
// calls after it fail with err (times 0: every call from the nth on, until
// cleared). Replaces any fault armed for op before.
void inject_fault(FaultOp op, std::uint64_t nth, int err, std::uint64_t times = 1);
// Disarms every injected fault.
void clear_faults();

}  // namespace mevora::platform
