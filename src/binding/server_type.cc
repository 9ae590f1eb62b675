// The Server type: constructed entirely in __new__; start() and stop()
// drive the listener with the GIL released; `port` and `running` report the
// run state. Destroying a running Server stops it.
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "binding/cache_object.h"
#include "binding/convert.h"
#include "binding/py_ref.h"
#include "binding/server_object.h"
#include "server/listener.h"
#include "util/rwlock.h"

namespace mevora::py {
namespace {

struct ServerObject {
  PyObject_HEAD
  // Fixed at construction; read without the mutex.
  std::string host;                     // UTF-8, resolved at start()
  std::optional<std::string> password;  // UTF-8, never empty when present
  std::shared_ptr<Store> store;         // the Cache's store
  std::uint16_t bind_port;              // passed to every start()
  server::ServerLimits limits;          // max_clients 0: derived at start()
  // The run state.
  Mutex mutex;
  std::uint16_t reported_port MEVORA_GUARDED_BY(mutex);  // shown while stopped
  std::unique_ptr<server::RunningServer> running MEVORA_GUARDED_BY(mutex);  // null while stopped
};

ServerObject* as_server(PyObject* self) { return reinterpret_cast<ServerObject*>(self); }

// max_clients: None (derived from the descriptor limit at start()) or an
// integer of at least 1. 0 stands for None in the limits.
bool convert_max_clients(PyObject* obj, std::uint64_t& out) {
  if (obj == nullptr || obj == Py_None) return true;
  std::int64_t v = 0;
  if (!to_i64(obj, "max_clients", v)) return false;
  if (v < 1) {
    PyErr_SetString(PyExc_ValueError, "max_clients must be >= 1");
    return false;
  }
  out = static_cast<std::uint64_t>(v);
  return true;
}

// idle_timeout: whole seconds, 0 (never) or more. Seconds beyond what a
// millisecond count can hold mean the same as that many: never in practice.
bool convert_idle_timeout(PyObject* obj, std::chrono::milliseconds& out) {
  if (obj == nullptr) return true;
  std::int64_t seconds = 0;
  if (!to_i64(obj, "idle_timeout", seconds)) return false;
  if (seconds < 0) {
    PyErr_SetString(PyExc_ValueError, "idle_timeout must be >= 0");
    return false;
  }
  constexpr std::int64_t kMaxSeconds = std::numeric_limits<std::int64_t>::max() / 1000;
  out = std::chrono::seconds(seconds < kMaxSeconds ? seconds : kMaxSeconds);
  return true;
}

// Shuts a taken running state down. No lock needed: the state is no longer
// reachable from the object.
// Never throws: stopping must always succeed from Python's point of view.
void stop_running(std::unique_ptr<server::RunningServer> taken) noexcept {
  if (taken == nullptr) return;
  try {
    server::shutdown_server(*taken);
  } catch (...) {
    // Joining a thread cannot fail here (never self, never detached); if
    // the library reports otherwise, the threads are left to end alone.
  }
}

PyObject* server_new(PyTypeObject* cls, PyObject* args, PyObject* kwds) {
  try {
    static const char* kwlist[] = {"cache", "host", "port", "password", "max_clients", "idle_timeout", nullptr};
    PyObject* o_cache = nullptr;
    PyObject* o_host = nullptr;
    PyObject* o_port = nullptr;
    PyObject* o_password = nullptr;
    PyObject* o_max_clients = nullptr;
    PyObject* o_idle_timeout = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|OOOOO:Server", const_cast<char**>(kwlist), &o_cache, &o_host,
                                     &o_port, &o_password, &o_max_clients, &o_idle_timeout)) {
      return nullptr;
    }
    if (!PyObject_TypeCheck(o_cache, cache_type())) {
      PyErr_Format(PyExc_TypeError, "argument 'cache': '%s' object cannot be converted to 'Cache'",
                   type_name(o_cache).c_str());
      return nullptr;
    }
    std::string_view host = "127.0.0.1";
    if (o_host != nullptr && !to_utf8(o_host, "host", host)) return nullptr;
    std::int64_t port = 6380;
    if (o_port != nullptr && !to_i64(o_port, "port", port)) return nullptr;
    if (port < 0 || port > 65535) {
      PyErr_SetString(PyExc_ValueError, "port must be between 0 and 65535");
      return nullptr;
    }
    std::optional<std::string> password;
    if (o_password != nullptr && o_password != Py_None) {
      if (!PyUnicode_Check(o_password)) {
        PyErr_SetString(PyExc_TypeError, "password must be a str");
        return nullptr;
      }
      Py_ssize_t n = 0;
      const char* s = PyUnicode_AsUTF8AndSize(o_password, &n);
      if (s == nullptr) return nullptr;
      if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "password must not be empty");
        return nullptr;
      }
      password.emplace(s, static_cast<std::size_t>(n));
    }
    server::ServerLimits limits;
    if (!convert_max_clients(o_max_clients, limits.max_clients)) return nullptr;
    if (!convert_idle_timeout(o_idle_timeout, limits.idle_timeout)) return nullptr;
    std::shared_ptr<Store> store = reinterpret_cast<CacheObject*>(o_cache)->store;
    std::string host_copy(host);

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
    PyObject* self = alloc(cls, 0);
    if (self == nullptr) return nullptr;
    ServerObject* obj = as_server(self);
    new (&obj->host) std::string(std::move(host_copy));
    new (&obj->password) std::optional<std::string>(std::move(password));
    new (&obj->store) std::shared_ptr<Store>(std::move(store));
    obj->bind_port = static_cast<std::uint16_t>(port);
    new (&obj->limits) server::ServerLimits(limits);
    new (&obj->mutex) Mutex();
    new (&obj->running) std::unique_ptr<server::RunningServer>();
    {
      MutexGuard g(obj->mutex);
      obj->reported_port = obj->bind_port;
    }
    return self;
  } catch (...) {
    return raise_cpp_exception();
  }
}

void server_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  ServerObject* obj = as_server(self);
  {
    // Nobody else can reach the object any more; the GIL stays held, which
    // the server's threads never need.
    std::unique_ptr<server::RunningServer> taken;
    {
      MutexGuard g(obj->mutex);
      taken = std::move(obj->running);
    }
    stop_running(std::move(taken));
  }
  std::destroy_at(&obj->running);
  std::destroy_at(&obj->limits);
  std::destroy_at(&obj->mutex);
  std::destroy_at(&obj->store);
  std::destroy_at(&obj->password);
  std::destroy_at(&obj->host);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

PyObject* m_start(PyObject* self, PyObject*) {
  ServerObject* obj = as_server(self);
  std::optional<OsError> failure;
  try {
    GilRelease unlocked;
    MutexGuard g(obj->mutex);
    if (obj->running == nullptr) {
      auto r = server::start_server(obj->host, obj->bind_port, obj->password, obj->store, obj->limits);
      if (r.ok()) {
        try {
          obj->running = std::make_unique<server::RunningServer>(std::move(r).value());
        } catch (const std::bad_alloc&) {
          server::shutdown_server(r.value());  // not moved: the allocation failed first
          throw;
        }
      } else {
        failure = std::move(r.error());
      }
    }
  } catch (...) {
    return raise_cpp_exception();
  }
  if (!failure.has_value()) Py_RETURN_NONE;
  return raise_os_error("cannot bind " + obj->host + ":" + std::to_string(obj->bind_port) + ": " + failure->text());
}

PyObject* m_stop(PyObject* self, PyObject*) {
  ServerObject* obj = as_server(self);
  {
    GilRelease unlocked;
    MutexGuard g(obj->mutex);
    if (obj->running != nullptr) {
      obj->reported_port = obj->running->port;
      stop_running(std::move(obj->running));
    }
  }
  Py_RETURN_NONE;
}

PyObject* get_port(PyObject* self, void*) {
  ServerObject* obj = as_server(self);
  std::uint16_t port;
  {
    MutexGuard g(obj->mutex);
    port = obj->running != nullptr ? obj->running->port : obj->reported_port;
  }
  return PyLong_FromLong(port);
}

PyObject* get_running(PyObject* self, void*) {
  ServerObject* obj = as_server(self);
  bool running;
  {
    MutexGuard g(obj->mutex);
    running = obj->running != nullptr;
  }
  return PyBool_FromLong(running ? 1 : 0);
}

PyMethodDef kServerMethods[] = {
    {"start", m_start, METH_NOARGS,
     "start($self)\n--\n\nBinds and starts accepting connections. Calling it on a running server does nothing.\n"
     "Raises OSError if the address cannot be bound."},
    {"stop", m_stop, METH_NOARGS,
     "stop($self)\n--\n\nStops accepting connections and closes open ones. Safe to call more than once."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kServerGetSet[] = {
    {"port", get_port, nullptr, "The bound port. With port=0 this is the port the OS picked after `start()`.", nullptr},
    {"running", get_running, nullptr, "True between a successful `start()` and the next `stop()`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kServerDoc[] =
    "Server(cache, host=\"127.0.0.1\", port=6380, password=None, max_clients=None, idle_timeout=0)\n--\n\n"
    "RESP2 server that serves a `Cache` over TCP.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(server_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(server_dealloc)},
    {Py_tp_methods, kServerMethods},
    {Py_tp_getset, kServerGetSet},
    {Py_tp_doc, const_cast<char*>(kServerDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "mevora._mevora.Server",
    sizeof(ServerObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    kSlots,
};

}  // namespace

PyObject* make_server_type() { return PyType_FromSpec(&kSpec); }

}  // namespace mevora::py
