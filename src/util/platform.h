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

// Reserves the bytes [offset, offset + len) of an open file on the device
// (posix_fallocate), extending the file's length to cover them; the range
// reads as zeros until written. Once it succeeds, storing into those pages
// through a shared mapping cannot fail for want of space. Returns 0 or the
// errno of the failure (ENOSPC, EFBIG past the file size limit, ...).
// Subject to the injected faults (FaultOp::Allocate).
int allocate_file(int fd, std::uint64_t offset, std::uint64_t len);

// ftruncate(2), retrying EINTR. Returns 0 or the errno of the failure.
int truncate_file(int fd, std::uint64_t len);

// Maps len bytes of an open file from offset (a multiple of page_size())
// readable and writable, shared: what is stored there belongs to the
// file's pages at once, so it survives the death of the process. Returns
// the address, or nullptr with *err set.
void* map_file_shared(int fd, std::uint64_t offset, std::size_t len, int* err);
// Removes a mapping made by map_file_shared.
void unmap_file(void* addr, std::size_t len);

// The size of a memory page.
std::size_t page_size();

// Counts one file write for the injected faults without writing anything:
// for writes that reach a file by a copy into a shared mapping instead of
// write_file. Returns the errno this write must fail with, or 0.
int write_fault();

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
// Makes file writes (write_file and write_fault), file syncs (sync_file) or
// space reservations (allocate_file) fail as a full or failing disk would,
// process-wide. Unarmed, the check costs one relaxed atomic load per call.
enum class FaultOp : std::uint8_t { Write, Sync, Allocate };

// From now on the nth call of op (1 = the very next one) and the `times` - 1
// calls after it fail with err (times 0: every call from the nth on, until
// cleared). Replaces any fault armed for op before.
void inject_fault(FaultOp op, std::uint64_t nth, int err, std::uint64_t times = 1);
// Disarms every injected fault.
void clear_faults();
// Calls hook at the start of every sync_file, on the syncing thread, before
// any injected fault (nullptr removes it): lets a test hold a sync while it
// watches what other threads can do meanwhile.
void set_sync_hook(void (*hook)());

}  // namespace mevora::platform
