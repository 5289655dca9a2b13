#include "bridge/str_cache.h"

#include "bridge/utf8_str.h"

namespace vardel {

namespace {

// A slot of the process's key table: the str (owned) and its length in bytes.
struct SharedSlot {
  PyObject* str;
  std::size_t size;
};

// The table is the process's, as the module is: it refuses other interpreters, and the
// interpreter's lock, which it never declares it can do without, guards every call. Its strs
// stay until the process ends.
constexpr std::size_t kSharedSlots = 1024;
SharedSlot g_shared[kSharedSlots];

}  // namespace

PyObject* shared_key(std::string_view text) {
  if (text.empty() || text.size() > kSharedKeyMax) return str_from_utf8(text);
  std::uint64_t bits = key_bits(text.data(), text.size()) ^ text.size();
  std::size_t index = static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ULL) >> 32) % kSharedSlots;
  SharedSlot& slot = g_shared[index];
  if (slot.str != nullptr && slot.size == text.size() &&
      same_bytes(static_cast<const char*>(PyUnicode_DATA(slot.str)), text.data(), text.size()))
    return Py_NewRef(slot.str);
  PyObject* made = str_from_utf8(text);
  // Only an ASCII str's data is its UTF-8 text, which the next lookup compares.
  if (made == nullptr || !PyUnicode_IS_COMPACT_ASCII(made)) return made;
  Py_XSETREF(slot.str, Py_NewRef(made));
  slot.size = text.size();
  return made;
}

}  // namespace vardel
