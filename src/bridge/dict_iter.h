// Reading the pairs of an exact dict straight from its table.
//
// PyDict_Next is a call into the interpreter for every pair; reading the
// entries in place is what lets plain dicts be converted at the speed of the
// data. The layout read here is that of CPython 3.12 and 3.13 (default
// builds), and it is checked against PyDict_Next once per process before it
// is trusted; anything else goes through PyDict_Next.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace vardel {

namespace dict_layout {

struct Keys {
  Py_ssize_t refcnt;
  std::uint8_t log2_size;
  std::uint8_t log2_index_bytes;
  std::uint8_t kind;  // 0: entries with hashes; otherwise str-keyed entries
  std::uint32_t version;
  Py_ssize_t usable;
  Py_ssize_t nentries;
  char indices[1];  // 2**log2_index_bytes bytes, then the entries
};

struct Entry {
  Py_hash_t hash;
  PyObject* key;
  PyObject* value;
};

struct StrEntry {
  PyObject* key;
  PyObject* value;
};

// How many entries ahead of the one read the next value object starts to load (a deleted
// entry's value is null, and prefetching null does nothing).
inline constexpr Py_ssize_t kLookahead = 4;

// True once the layout has been checked against PyDict_Next.
extern bool trusted;

}  // namespace dict_layout

// Checks the table layout once; later calls return at once.
void check_dict_layout();

// Like PyDict_Next for an exact dict: the pair at or after `*pos`, advancing
// `*pos` past it exactly as PyDict_Next does, so the two can be mixed.
inline bool dict_next(PyObject* dict, Py_ssize_t* pos, PyObject** key, PyObject** value) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
  auto* d = reinterpret_cast<PyDictObject*>(dict);
  if (dict_layout::trusted && d->ma_values == nullptr) {
    using namespace dict_layout;
    auto* keys = reinterpret_cast<Keys*>(d->ma_keys);
    Py_ssize_t n = keys->nentries;
    Py_ssize_t i = *pos;
    if (i < 0 || i >= n) return false;
    char* entries = keys->indices + (std::size_t(1) << keys->log2_index_bytes);
    if (keys->kind == 0) {
      auto* e = reinterpret_cast<Entry*>(entries);
      while (i < n && e[i].value == nullptr) ++i;
      if (i >= n) return false;
      if (i + kLookahead < n) __builtin_prefetch(e[i + kLookahead].value);
      *key = e[i].key;
      *value = e[i].value;
    } else {
      auto* e = reinterpret_cast<StrEntry*>(entries);
      while (i < n && e[i].value == nullptr) ++i;
      if (i >= n) return false;
      if (i + kLookahead < n) __builtin_prefetch(e[i + kLookahead].value);
      *key = e[i].key;
      *value = e[i].value;
    }
    *pos = i + 1;
    return true;
  }
#endif
  return PyDict_Next(dict, pos, key, value) != 0;
}

// Starts loading the first kLookahead value objects of the exact dict `dict`, whose table is in
// cache: dict_next starts loading each later one itself, kLookahead entries ahead.
inline void prefetch_first_values(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
  auto* d = reinterpret_cast<PyDictObject*>(dict);
  if (!dict_layout::trusted || d->ma_values != nullptr) return;
  using namespace dict_layout;
  auto* keys = reinterpret_cast<Keys*>(d->ma_keys);
  Py_ssize_t n = keys->nentries < kLookahead ? keys->nentries : kLookahead;
  char* entries = keys->indices + (std::size_t(1) << keys->log2_index_bytes);
  for (Py_ssize_t i = 0; i < n; ++i) {
    __builtin_prefetch(keys->kind == 0 ? reinterpret_cast<Entry*>(entries)[i].value
                                       : reinterpret_cast<StrEntry*>(entries)[i].value);
  }
#else
  (void)dict;
#endif
}

// Starts loading the table of the exact dict `dict`, which will be read later: its header and
// first entries are then in cache when dict_next reads them.
inline void prefetch_table(PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
  const auto* keys = reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
  __builtin_prefetch(keys);
  __builtin_prefetch(keys + 64);
#else
  (void)dict;
#endif
}

}  // namespace vardel
