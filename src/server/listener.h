// The network machinery of one running server: the listening socket, the
// "mevora-accept" thread, one "mevora-conn" thread per client connection,
// and the shutdown that ends them all.
//
// start_server resolves and binds, then starts the accept thread. The
// accept thread takes connections in blocking mode; for each one it
// registers a duplicate of the socket (used only to shut it down from
// outside) and starts a connection thread that runs the connection loop
// with its own ConnectionState (registered, with the peer and local
// addresses, in the context's client table for CLIENT LIST) and the shared
// ServerContext. Finished
// connection threads are reaped on the accept path.
//
// Limits (ServerLimits): at most max_clients connections are served at
// once; one over the limit is answered "-ERR max number of clients
// reached" and closed at once by the accept thread. Each connection costs
// kDescriptorsPerConnection descriptors (the accepted socket, its read
// duplicate and the registry's duplicate) and a thread. start_server first
// raises the process's soft descriptor limit to the hard one, and without
// an explicit max_clients derives one from that limit (default_max_clients).
// An accept that fails, for example for want of descriptors, is retried
// after a short pause; the accept thread only ends at shutdown. Connections
// of a password-protected server must authenticate within auth_timeout and
// send only small requests until then; with an idle timeout, a connection
// that sends nothing for that long is closed.
//
// shutdown_server raises the stop flag, wakes the blocked accept with a
// loopback connection until the accept thread has finished (the accept
// thread closes the listening socket itself, so no descriptor is closed
// under a thread blocked on it), then shuts every registered connection
// down and joins its thread. Last it waits for the store's background
// saves (BGSAVE) and joins their threads.
//
// Ownership: RunningServer is move-only and owned by the caller (the
// Python Server object). The registry is shared by the accept thread and
// the RunningServer; the ServerContext (and through it the Store) by the
// accept and connection threads. BGSAVE threads are owned by the Store,
// hold a strong reference to it while they save, and are joined by
// shutdown (and by the store's close or destruction).
//
// Thread safety: start_server and shutdown_server for one RunningServer must
// be serialised by the caller. Neither touches the Python interpreter.
//
// Errors: start_server returns an OsError whose text() is the OS text
// "<description> (os error N)", or "could not resolve to any addresses",
// or "failed to lookup address information: <resolver text>" (those two
// without an errno). shutdown_server never fails.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/store.h"
#include "util/named_thread.h"
#include "util/os_error.h"
#include "util/result.h"
#include "util/rwlock.h"
#include "util/unique_fd.h"

namespace mevora::server {

// Descriptors one open connection holds: the accepted socket, the read
// duplicate of its connection and the registry's duplicate.
inline constexpr std::uint64_t kDescriptorsPerConnection = 3;
// Descriptors the default client limit leaves for everything else: the
// listener, shutdown's wake-up connection, a connection being turned away,
// and the data directory's lock, log segments, snapshot files and
// directory flushes.
inline constexpr std::uint64_t kReservedDescriptors = 32;
// The largest client limit derived by default: each connection is also a
// thread, and a generous descriptor limit must not invite a hundred
// thousand of them.
inline constexpr std::uint64_t kMaxDefaultClients = 10000;
// How long a connection of a password-protected server may take to
// authenticate.
inline constexpr std::chrono::milliseconds kAuthTimeout{5000};

// The client limit that fits a descriptor limit (UINT64_MAX: unlimited)
// with open descriptors already in use: what is left after the reserve,
// divided among connections, between 1 and kMaxDefaultClients.
std::uint64_t default_max_clients(std::uint64_t descriptor_limit, std::uint64_t open);

// What one server protects itself with.
struct ServerLimits {
  // The most connections served at once; 0 derives it at start.
  std::uint64_t max_clients = 0;
  // A connection whose receive waits this long is closed; 0: never.
  std::chrono::milliseconds idle_timeout{0};
  // How long a connection may stay unauthenticated when the server has a
  // password.
  std::chrono::milliseconds auth_timeout = kAuthTimeout;
};

// One connection thread not yet reaped.
struct ConnectionEntry {
  NamedThread thread;
  // A duplicate of the connection's socket, used only to shut it down.
  UniqueFd socket;
  // Set by the connection thread as the very last thing it does, so a
  // reaper that sees it can join without blocking.
  std::shared_ptr<std::atomic<bool>> finished;
};

// Shared by the accept thread and the RunningServer.
struct ConnectionRegistry {
  // Raised once by shutdown (release), read by the accept thread (acquire).
  std::atomic<bool> stop{false};
  // Set by the accept thread when it is about to end.
  std::atomic<bool> accept_finished{false};
  Mutex mutex;
  std::vector<ConnectionEntry> connections MEVORA_GUARDED_BY(mutex);
};

// Move-only.
struct RunningServer {
  // The bound local address (family, IP, port; flow info and scope id for
  // IPv6), also the target of shutdown's wake-up connections.
  sockaddr_storage address{};
  socklen_t address_len = 0;
  std::uint16_t port = 0;  // the bound port (the OS's pick for port 0)
  std::uint64_t max_clients = 0;  // the limit in force (derived if not given)
  std::shared_ptr<ConnectionRegistry> registry;
  NamedThread accept_thread;  // taken out (joined) by shutdown
  std::shared_ptr<Store> store;  // whose background saves shutdown joins (then drops)
};

// Raises the descriptor limit, resolves host (an IPv4/IPv6 literal, else
// getaddrinfo's stream results), binds the first address that accepts
// socket + SO_REUSEADDR + bind + listen(128), and starts the accept thread.
// On failure nothing is left open and no thread runs; the error is the last
// attempt's.
Result<RunningServer, OsError> start_server(std::string_view host, std::uint16_t port,
                                            std::optional<std::string> password, std::shared_ptr<Store> store,
                                            const ServerLimits& limits = {});

// Stops accepting, ends every open connection and joins every server
// thread. Safe on a server whose accept thread already ended, and when
// called again. Blocks until all connection threads have returned (each
// ends promptly once its socket is shut down).
void shutdown_server(RunningServer& server);

}  // namespace mevora::server
