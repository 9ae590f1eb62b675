// The Python Cache object and the pieces its method files share.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <vector>

#include "binding/convert.h"
#include "binding/py.h"
#include "binding/py_ref.h"
#include "binding/text_codec.h"
#include "core/store.h"

namespace mevora::py {

struct CacheObject {
  PyObject_HEAD
  // Both fixed at construction. The store is shared with any Server built
  // on this cache; the persist_dir (file-system encoded bytes) is present
  // exactly when the cache was opened with a data directory.
  std::shared_ptr<Store> store;
  std::optional<std::string> persist_dir;
  // Present for a text cache: set once by the Python layer right after
  // construction (_decode_reads). c[key] then returns str, and so do the
  // text cache's reads made by make_decoded_reads.
  std::optional<TextCodec> text;
};

inline Store& store_of(PyObject* self) { return *reinterpret_cast<CacheObject*>(self)->store; }

// Builds the Cache type object (a heap type); nullptr with an exception set
// on failure.
PyObject* make_cache_type();
// The Cache type once built (borrowed; lives as long as the module).
PyTypeObject* cache_type();

// Cache.scan and Cache.scan_iter (cache_scan.cc), and the type of the
// iterator scan_iter returns: built once per process by
// make_scan_iter_type (nullptr with an exception set on failure).
PyObject* cache_scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_scan_iter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* make_scan_iter_type();

// The second group of key and string methods (cache_key_methods.cc).
PyObject* cache_type_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_rename(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_renamenx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_expireat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_pexpireat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_expiretime(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_pexpiretime(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_touch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_randomkey(PyObject* self, PyObject* unused);
PyObject* cache_strlen(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_getrange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_setrange(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_msetnx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_incrbyfloat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_getex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The filter arguments of a cursor method, converted; `match` owns the
// pattern bytes so the filter's view outlives the argument objects.
struct FilterArgs {
  std::optional<std::string> match;
  std::uint64_t count = 10;
  std::optional<KeyKind> kind;

  ScanFilter filter() const {
    ScanFilter f;
    if (match) f.match = *match;
    f.count = count;
    f.kind = kind;
    return f;
  }
};

// match: None, str (UTF-8) or bytes; count: None or a positive integer;
// type: None (or not given: nullptr) or one of "string", "list", "hash",
// "set". false with the exception set on a bad argument.
bool convert_filter(PyObject* match, PyObject* count, PyObject* type, FilterArgs& out);

// The (key, value) pairs of a mapping argument (its items()), converted
// to bytes; the views stay valid while this object lives.
class MappingPairs {
 public:
  std::vector<KeyValue> views() const;
  std::vector<PyRef> held;  // the item tuples, alive while their bytes are viewed
  std::vector<Bytes> conv;  // key, value, key, value, ...
};
// false with TypeError/ValueError set for a non-mapping or a bad item.
bool mapping_pairs(PyObject* mapping, MappingPairs& out);

// The hash methods beyond the basic ones (cache_hash_ops.cc).
PyObject* cache_hmget(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_hmset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_hsetnx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_hexists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_hkeys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_hvals(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_hstrlen(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_hincrby(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_hincrbyfloat(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_hrandfield(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_hscan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The list methods beyond the basic ones (cache_list_ops.cc). cache_pop is
// lpop and rpop, `name` naming the method: one item or None without a
// count, a list of up to count items (None for a missing key) with one.
PyObject* cache_pop(PyObject* self, const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Store::ListEnd end);
PyObject* cache_lindex(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_lpos(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_lpushx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_rpushx(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_ltrim(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_lset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_linsert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_lrem(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_lmove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_rpoplpush(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The set methods beyond the basic ones (cache_set_ops.cc).
PyObject* cache_smismember(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_srandmember(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_spop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_sscan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_smove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_sinter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_sunion(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_sdiff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_sinterstore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_sunionstore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_sdiffstore(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* cache_sintercard(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// cache[key]: the value as get(key) returns it (decoded for a text cache),
// KeyError(key) when absent.
PyObject* cache_subscript(PyObject* self, PyObject* key);
// cache[key] = value: set(key, value). del cache[key]: delete(key), and
// KeyError(key) when there was no such key.
int cache_ass_subscript(PyObject* self, PyObject* key, PyObject* value);

// The reads a text cache's class takes from the extension: a dict of
// method descriptors of the Cache type, one per read whose result is
// bytes, None or a container of them (get, mget, hgetall, lrange, ...),
// each the bytes-level read with its result decoded by the cache's codec.
PyObject* make_decoded_reads(PyTypeObject* cache);

// The methods in their published order, terminated by a null entry.
extern PyMethodDef kCacheMethods[];

}  // namespace mevora::py
