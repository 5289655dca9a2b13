// The in-memory value tree shared by both directions of the codec.
//
// Nodes are small trivially destructible structs whose arrays, members and
// copied strings live in an Arena; a Document owns the arena and the root.
// Strings are UTF-8 slices: either copies in the arena or slices of text that
// the producer guarantees to outlive the tree (the decoder's input, or Python
// strings kept alive by the conversion). A producer that writes its own final
// text may hand the encoder wide strings instead: code units of one, two or
// four bytes, read in place (see OutputBuffer::splice).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string_view>
#include "core/arena.h"
#include "core/vec.h"

namespace vardel {

// Exactly one of an unsigned 64-bit integer, a negative signed 64-bit integer
// or a finite double.
class Number {
 public:
  enum class Form : std::uint8_t { Unsigned, Negative, Double };

  static Number from_unsigned(std::uint64_t u) { return Number(Form::Unsigned, u); }
  // Requires i < 0.
  static Number from_negative(std::int64_t i) {
    Number n(Form::Negative, 0);
    n.i_ = i;
    return n;
  }
  // Requires a finite d.
  static Number from_double(double d) {
    Number n(Form::Double, 0);
    n.d_ = d;
    return n;
  }

  Form form() const { return static_cast<Form>(form_); }
  std::uint64_t as_unsigned() const { return u_; }
  std::int64_t as_negative() const { return i_; }
  double as_double() const { return d_; }

 private:
  Number(Form f, std::uint64_t u) : form_(static_cast<std::uint64_t>(f)), u_(u) {}
  // A whole word, not a byte: a Number written to memory and then passed on in two registers
  // is read back as two words, and a word read of a byte just written waits for the store.
  std::uint64_t form_;
  union {
    std::uint64_t u_;
    std::int64_t i_;
    double d_;
  };
};

struct Member;
class Map;

class Value {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };

  Value() : kind_(Kind::Null) { p_.u = 0; }
  static Value null() { return Value(); }
  static Value boolean(bool b) {
    Value v(Kind::Bool);
    v.sub_ = b;
    return v;
  }
  static Value number(Number n) {
    Value v(Kind::Number);
    v.sub_ = static_cast<std::uint8_t>(n.form());
    switch (n.form()) {
      case Number::Form::Unsigned:
        v.p_.u = n.as_unsigned();
        break;
      case Number::Form::Negative:
        v.p_.i = n.as_negative();
        break;
      case Number::Form::Double:
        v.p_.d = n.as_double();
        break;
    }
    return v;
  }
  static Value string(std::string_view s) {
    Value v(Kind::String);
    v.set_size(s.size());
    v.p_.s = s.data();
    return v;
  }
  // `count` code points of `width` bytes each (1: Latin-1, 2: UCS-2 without
  // surrogates, 4: UCS-4), at least one of them past U+007F.
  static Value wide_string(const void* units, std::size_t count, unsigned width) {
    Value v(Kind::String);
    v.sub_ = static_cast<std::uint8_t>(width);
    v.set_size(count);
    v.p_.source = units;
    return v;
  }
  static Value array(Value* items, std::size_t n) {
    Value v(Kind::Array);
    v.set_size(n);
    v.p_.items = items;
    return v;
  }
  static Value object(Map m);
  // An array or object whose elements or members are not in the tree: it
  // stands for `source`, whatever that is to the code that made it, and only
  // its kind and size are known. See Source in encode/encode.h.
  static Value deferred(Kind k, std::size_t n, const void* source) {
    Value v(k);
    v.sub_ = 1;
    v.set_size(n);
    v.p_.source = source;
    return v;
  }

  Kind kind() const { return kind_; }
  bool is_scalar() const { return kind_ < Kind::Array; }
  bool is_deferred() const { return kind_ >= Kind::Array && sub_ != 0; }
  const void* source() const { return p_.source; }
  bool as_bool() const { return sub_ != 0; }
  Number as_number() const {
    switch (static_cast<Number::Form>(sub_)) {
      case Number::Form::Unsigned:
        return Number::from_unsigned(p_.u);
      case Number::Form::Negative:
        return Number::from_negative(p_.i);
      default:
        return Number::from_double(p_.d);
    }
  }
  // A string's UTF-8 text; for a wide string, see string_width().
  std::string_view as_string() const { return {p_.s, size()}; }
  // The bytes per code point of a wide string, or 0 for a UTF-8 string.
  unsigned string_width() const { return sub_; }
  const void* units() const { return p_.source; }
  // Array elements.
  const Value* begin() const { return p_.items; }
  const Value* end() const { return p_.items + size(); }
  std::size_t size() const { return (std::size_t(size_hi_) << 32) | size_lo_; }
  const Value& operator[](std::size_t i) const { return p_.items[i]; }
  inline Map as_map() const;

 private:
  explicit Value(Kind k) : kind_(k) { p_.u = 0; }
  // Stores a string's byte count or a container's element or member count,
  // in 48 bits so that a Value takes 16 bytes; no real size comes near 2**48.
  void set_size(std::size_t n) {
    if (n >> 48 != 0) throw std::bad_alloc();
    size_hi_ = static_cast<std::uint16_t>(n >> 32);
    size_lo_ = static_cast<std::uint32_t>(n);
  }
  Kind kind_;
  std::uint8_t sub_ = 0;  // bool value, Number::Form, string width, 1 for a deferred container
  std::uint16_t size_hi_ = 0;
  std::uint32_t size_lo_ = 0;
  union {
    std::uint64_t u;
    std::int64_t i;
    double d;
    const char* s;
    Value* items;
    Member* members;
    const void* source;
  } p_;
};

struct Member {
  std::string_view key;
  Value value;
};

static_assert(sizeof(Value) == 16 && sizeof(Member) == 32);

// An object's members, each key once: in ascending byte order of their keys
// (sort_members), in the order of the mapping they were read from, or in the
// order a decoder read them (KeyOrder::AsRead).
class Map {
 public:
  Map() = default;
  // Requires unique keys (see sort_members and keep_first_places).
  Map(Member* members, std::size_t n) : m_(members), n_(n) {}
  const Member* begin() const { return m_; }
  const Member* end() const { return m_ + n_; }
  std::size_t size() const { return n_; }
  bool empty() const { return n_ == 0; }
  const Member& operator[](std::size_t i) const { return m_[i]; }
  Member* data() const { return m_; }

 private:
  Member* m_ = nullptr;
  std::size_t n_ = 0;
};

inline Value Value::object(Map m) {
  Value v(Kind::Object);
  v.set_size(m.size());
  v.p_.members = m.data();
  return v;
}
inline Map Value::as_map() const {
  return Map(p_.members, size());
}

// Sorts members by key bytes and keeps, for keys that occur more than once,
// the value inserted last. Returns the number of members kept (a prefix).
std::size_t sort_members(Member* members, std::size_t n);

// Keeps members in insertion order, each key once: at the place where it
// first occurs, with the value inserted last. Returns the number of members
// kept (a prefix).
std::size_t keep_first_places(Member* members, std::size_t n);

// A value tree together with the arena that owns its storage.
struct Document {
  Arena arena;
  Value root;
};

}  // namespace vardel
