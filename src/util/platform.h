// The one platform seam. Everything that differs between operating systems
// (thread naming, durable flushes, send flags, entropy) lives behind these
// functions; no other file uses #ifdef for the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <thread>

namespace mevora::platform {

// Names the calling thread (truncated to what the OS allows, 15 bytes on
// Linux) so it shows in thread listings.
void set_current_thread_name(const char* name);
// Names another thread of this process by its native handle.
void set_thread_name(std::thread::native_handle_type thread, const char* name);

// Durably flushes an open file to stable storage, retrying on EINTR.
// Returns 0 or the errno of the failure.
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

}  // namespace mevora::platform
