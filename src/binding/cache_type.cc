// The Cache type: a heap type constructed entirely in __new__, with the
// methods of cache_methods.cc, read-only properties and len().
#include <cstring>
#include <new>
#include <string>

#include "binding/args.h"
#include "binding/cache_object.h"
#include "binding/convert.h"
#include "binding/py_ref.h"
#include "util/utf8.h"

namespace mevora::py {
namespace {

PyTypeObject* g_cache_type = nullptr;  // borrowed from the module, set once

// The value in double quotes for option error messages: backslash before
// quotes and backslashes, \t \r \n \0 for those characters, \u{h} for other
// non-printable characters, everything else unchanged.
std::string quoted(std::string_view utf8) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < utf8.size()) {
    // The text came from a str, so it is well-formed.
    const Utf8Sequence seq = decode_utf8_at(utf8, i);
    const char32_t cp = seq.code_point;
    const std::size_t len = seq.len;
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case 0: out += "\\0"; break;
      default: {
        const bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029 ||
                             cp == 0xAD || (cp >= 0x200B && cp <= 0x200F) || cp == 0xFEFF;
        if (control) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
          out += buf;
        } else {
          out.append(utf8.substr(i, len));
        }
      }
    }
    i += len;
  }
  out += '"';
  return out;
}

bool parse_policy(std::string_view s, EvictionPolicy& out) {
  if (s == "noeviction") out = EvictionPolicy::NoEviction;
  else if (s == "allkeys-lru") out = EvictionPolicy::AllKeysLru;
  else if (s == "volatile-lru") out = EvictionPolicy::VolatileLru;
  else return false;
  return true;
}

bool parse_fsync(std::string_view s, FsyncPolicy& out) {
  if (s == "always") out = FsyncPolicy::Always;
  else if (s == "everysec") out = FsyncPolicy::EverySec;
  else if (s == "never") out = FsyncPolicy::Never;
  else return false;
  return true;
}

// os.fspath(obj) as file-system encoded bytes; a bytes path is refused.
bool to_path(PyObject* obj, std::string& out) {
  PyRef path(PyOS_FSPath(obj));
  if (!path) return prefix_type_error("persist_dir");
  if (!PyUnicode_Check(path.get())) {
    PyErr_Format(PyExc_TypeError, "argument 'persist_dir': expected str or os.PathLike returning str, not %s",
                 type_name(path.get()).c_str());
    return false;
  }
  PyRef encoded(PyUnicode_EncodeFSDefault(path.get()));
  if (!encoded) return false;
  char* data = nullptr;
  Py_ssize_t n = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &data, &n) != 0) return false;
  out.assign(data, static_cast<std::size_t>(n));
  return true;
}

// Raises the exception for a failed persistent open: the message names the
// directory and says what kept it from opening.
void raise_open_error(const PersistError& err, const std::string& dir) {
  switch (err.kind()) {
    case PersistErrorKind::WouldBlock:
      raise_persist_error(err, "data directory " + dir + " is in use by another live process");
      return;
    case PersistErrorKind::InvalidData:
      raise_persist_error(err, "cannot load data from " + dir + ": " + err.text());
      return;
    default:
      raise_persist_error(err, "cannot open data directory " + dir + ": " + err.text());
      return;
  }
}

PyObject* cache_new(PyTypeObject* cls, PyObject* args, PyObject* kwds) {
  try {
    static const char* kwlist[] = {"max_memory", "policy", "shards", "persist_dir", "fsync", "snapshot_interval",
                                   nullptr};
    PyObject* o_max = nullptr;
    PyObject* o_policy = nullptr;
    PyObject* o_shards = nullptr;
    PyObject* o_dir = nullptr;
    PyObject* o_fsync = nullptr;
    PyObject* o_snap = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOOOO:Cache", const_cast<char**>(kwlist), &o_max, &o_policy,
                                     &o_shards, &o_dir, &o_fsync, &o_snap)) {
      return nullptr;
    }
    StoreConfig config;
    std::string_view policy = "noeviction";
    std::string_view fsync = "everysec";
    std::int64_t snapshot_interval = 300;
    if (o_max != nullptr && !to_u64(o_max, "max_memory", config.max_memory)) return nullptr;
    if (o_policy != nullptr && !to_utf8(o_policy, "policy", policy)) return nullptr;
    if (o_shards != nullptr && !to_u64(o_shards, "shards", config.shards)) return nullptr;
    if (o_dir != nullptr && o_dir != Py_None) {
      std::string dir;
      if (!to_path(o_dir, dir)) return nullptr;
      config.persist_dir = std::move(dir);
    }
    if (o_fsync != nullptr && !to_utf8(o_fsync, "fsync", fsync)) return nullptr;
    if (o_snap != nullptr && !to_i64(o_snap, "snapshot_interval", snapshot_interval)) return nullptr;

    if (config.shards == 0 || config.shards > 65536 || (config.shards & (config.shards - 1)) != 0) {
      PyErr_SetString(PyExc_ValueError, "shards must be a power of two between 1 and 65536");
      return nullptr;
    }
    if (!parse_policy(policy, config.policy)) {
      const std::string msg = "unknown policy " + quoted(policy) +
                              "; expected 'noeviction', 'allkeys-lru' or 'volatile-lru'";
      PyErr_SetString(PyExc_ValueError, msg.c_str());
      return nullptr;
    }
    if (!parse_fsync(fsync, config.fsync)) {
      const std::string msg = "unknown fsync " + quoted(fsync) + "; expected 'always', 'everysec' or 'never'";
      PyErr_SetString(PyExc_ValueError, msg.c_str());
      return nullptr;
    }
    if (snapshot_interval < 0) {
      PyErr_SetString(PyExc_ValueError, "snapshot_interval must be >= 0");
      return nullptr;
    }
    config.snapshot_interval = static_cast<std::uint64_t>(snapshot_interval);
    config.sweep_interval_ms = 100;

    std::shared_ptr<Store> store;
    if (!config.persist_dir.has_value()) {
      store = Store::create(config);
    } else {
      Result<std::shared_ptr<Store>, PersistError> opened = [&] {
        GilRelease g;
        return Store::open(config);
      }();
      if (!opened.ok()) {
        raise_open_error(opened.error(), *config.persist_dir);
        return nullptr;
      }
      store = std::move(*opened);
    }

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(cls, Py_tp_alloc));
    PyObject* self = alloc(cls, 0);
    if (self == nullptr) return nullptr;  // dropping `store` releases it
    auto* obj = reinterpret_cast<CacheObject*>(self);
    new (&obj->store) std::shared_ptr<Store>(std::move(store));
    new (&obj->persist_dir) std::optional<std::string>(std::move(config.persist_dir));
    new (&obj->text) std::optional<TextCodec>();
    return self;
  } catch (...) {
    return raise_cpp_exception();
  }
}

void cache_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  auto* obj = reinterpret_cast<CacheObject*>(self);
  obj->store.~shared_ptr();
  obj->persist_dir.~optional();
  obj->text.~optional();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

Py_ssize_t cache_len(PyObject* self) {
  try {
    GilRelease g;
    return static_cast<Py_ssize_t>(store_of(self).len());
  } catch (...) {
    raise_cpp_exception();
    return -1;
  }
}

PyObject* get_persistent(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<CacheObject*>(self)->persist_dir.has_value() ? 1 : 0);
}

PyObject* get_used_memory(PyObject* self, void*) {
  std::uint64_t used;
  {
    GilRelease g;
    used = store_of(self).used_memory();
  }
  return PyLong_FromUnsignedLongLong(used);
}

PyObject* get_persist_stats(PyObject* self, void*) {
  try {
    std::optional<PersistStats> stats = store_of(self).persist_stats();
    if (!stats.has_value()) Py_RETURN_NONE;
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    auto put = [&](const char* k, PyObject* v) {
      PyRef ref(v);
      return ref && PyDict_SetItemString(d.get(), k, ref.get()) == 0;
    };
    // Owned here until put takes it, so a failed insertion before it frees it.
    PyRef last_error;
    if (stats->last_error.has_value()) {
      const std::string& e = *stats->last_error;
      last_error = PyRef(PyUnicode_DecodeUTF8(e.data(), static_cast<Py_ssize_t>(e.size()), "replace"));
      if (!last_error) return nullptr;
    } else {
      last_error = PyRef::borrow(Py_None);
    }
    if (!put("last_save_ms", PyLong_FromUnsignedLongLong(stats->last_save_ms)) ||
        !put("snapshot_bytes", PyLong_FromUnsignedLongLong(stats->snapshot_bytes)) ||
        !put("wal_bytes", PyLong_FromUnsignedLongLong(stats->wal_bytes)) ||
        !put("loaded_keys", PyLong_FromUnsignedLongLong(stats->loaded_keys)) ||
        !put("last_error", last_error.release()) ||
        !put("writes_refused", PyBool_FromLong(stats->writes_refused ? 1 : 0))) {
      return nullptr;
    }
    return d.release();
  } catch (...) {
    return raise_cpp_exception();
  }
}

PyGetSetDef kGetSet[] = {
    {"persistent", get_persistent, nullptr, "True when this cache was opened with a `persist_dir`.", nullptr},
    {"persist_stats", get_persist_stats, nullptr, "Persistence counters as a dict, or None when persistence is off.",
     nullptr},
    {"used_memory", get_used_memory, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kCacheDoc[] =
    "Cache(max_memory=0, policy=\"noeviction\", shards=64, persist_dir=None, fsync=\"everysec\", "
    "snapshot_interval=300)\n--\n\n"
    "Bytes-level cache. The Python `mevora.Cache` subclass adds decoding,\n"
    "JSON handling and dict-style sugar on top of this class.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(cache_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(cache_dealloc)},
    {Py_tp_methods, kCacheMethods},
    {Py_tp_getset, kGetSet},
    {Py_sq_length, reinterpret_cast<void*>(cache_len)},
    {Py_mp_subscript, reinterpret_cast<void*>(cache_subscript)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(cache_ass_subscript)},
    {Py_tp_doc, const_cast<char*>(kCacheDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "mevora._mevora.Cache",
    sizeof(CacheObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    kSlots,
};

}  // namespace

PyObject* make_cache_type() {
  PyObject* t = PyType_FromSpec(&kSpec);
  g_cache_type = reinterpret_cast<PyTypeObject*>(t);
  return t;
}

PyTypeObject* cache_type() { return g_cache_type; }

}  // namespace mevora::py
