// ClientInfo: what the CLIENT command knows about one live connection, and
// ClientTable: every live connection of one running server.
//
// A connection's ClientInfo is created when the connection starts and owned
// (shared_ptr) by its ConnectionState; the table holds only weak
// references, so a connection that ends drops out of CLIENT LIST by itself
// and its slot is pruned at the next registration.
//
// Thread safety: id, addresses and the creation time never change. The
// activity fields are atomics written by the connection's own thread on
// every request (relaxed: they are statistics, read without ordering). The
// name and library fields change rarely and sit behind a mutex. A
// ClientTable may be used from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "util/rwlock.h"

namespace mevora::server {

class ClientInfo {
 public:
  using Clock = std::chrono::steady_clock;

  ClientInfo(std::uint64_t id, std::string addr, std::string laddr)
      : id_(id), addr_(std::move(addr)), laddr_(std::move(laddr)), created_(Clock::now()) {
    last_active_.store(created_.time_since_epoch().count(), std::memory_order_relaxed);
  }

  std::uint64_t id() const { return id_; }
  // "ip:port" of the peer and of the local end; empty when not known.
  const std::string& addr() const { return addr_; }
  const std::string& laddr() const { return laddr_; }
  Clock::time_point created() const { return created_; }

  // Records a request now; command is 1 + the command table index of a
  // known command, or 0 to keep the last known one.
  void touch(std::uint32_t command) {
    last_active_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    if (command != 0) last_command_.store(command, std::memory_order_relaxed);
  }
  Clock::time_point last_active() const {
    return Clock::time_point(Clock::duration(last_active_.load(std::memory_order_relaxed)));
  }
  std::uint32_t last_command() const { return last_command_.load(std::memory_order_relaxed); }

  // The connection name (CLIENT SETNAME, HELLO SETNAME) and the library
  // name and version (CLIENT SETINFO); empty when not set.
  struct Names {
    std::string name;
    std::string lib_name;
    std::string lib_ver;
  };
  Names names() const {
    MutexGuard g(mu_);
    return names_;
  }
  void set_name(std::string v) {
    MutexGuard g(mu_);
    names_.name = std::move(v);
  }
  void set_lib_name(std::string v) {
    MutexGuard g(mu_);
    names_.lib_name = std::move(v);
  }
  void set_lib_ver(std::string v) {
    MutexGuard g(mu_);
    names_.lib_ver = std::move(v);
  }

 private:
  const std::uint64_t id_;
  const std::string addr_;
  const std::string laddr_;
  const Clock::time_point created_;
  std::atomic<Clock::rep> last_active_{0};
  std::atomic<std::uint32_t> last_command_{0};
  mutable Mutex mu_;
  Names names_ MEVORA_GUARDED_BY(mu_);
};

class ClientTable {
 public:
  // Registers a new connection with the next id (1, 2, ...) and prunes the
  // entries of connections that have ended.
  std::shared_ptr<ClientInfo> add(std::string addr, std::string laddr) {
    MutexGuard g(mu_);
    auto info = std::make_shared<ClientInfo>(next_id_++, std::move(addr), std::move(laddr));
    std::erase_if(clients_, [](const std::weak_ptr<ClientInfo>& w) { return w.expired(); });
    clients_.push_back(info);
    return info;
  }

  // The live connections in ascending id order.
  std::vector<std::shared_ptr<ClientInfo>> live() const {
    MutexGuard g(mu_);
    std::vector<std::shared_ptr<ClientInfo>> out;
    out.reserve(clients_.size());
    for (const std::weak_ptr<ClientInfo>& w : clients_) {
      if (std::shared_ptr<ClientInfo> c = w.lock()) out.push_back(std::move(c));
    }
    return out;
  }

 private:
  mutable Mutex mu_;
  std::uint64_t next_id_ MEVORA_GUARDED_BY(mu_) = 1;
  std::vector<std::weak_ptr<ClientInfo>> clients_ MEVORA_GUARDED_BY(mu_);
};

}  // namespace mevora::server
