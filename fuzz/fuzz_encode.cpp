// encode_value on trees of any shape with any settings (bad delimiters, widths 0..8, 4096 and past
// what a text can hold, length markers on and off, either layout, sorted or shuffled members,
// nesting past the limit): text or the error the tree and settings call for; text is valid UTF-8
// without carriage returns or a final line feed, indented with spaces only; the decoder reads it
// without crashing; the uniform layout has the default layout's lines, without blank lines or
// trailing spaces. With every container deferred and opened level by level through a Source, the
// text or error is the same and opens and closes pair up; a source that fails at any open, or when
// the encoder fails on its own, ends the encoding with its failure; one that asks for an object to
// be written anew (and then gives it whole) changes nothing. Nor does handing every string value
// that is not ASCII over as a wide string (code points of one, two or four bytes spliced into the
// output) instead of UTF-8.
#include <algorithm>
#include <memory>
#include <vector>

#include "core/text.h"
#include "decode/value_sink.h"
#include "encode/encode.h"
#include "fuzz_common.h"

using namespace fuzz;

namespace {

struct Builder {
  Bytes& in;
  vardel::Arena& arena;
  std::size_t budget, max_nodes,
      nodes = 0;              // budget bounds the levels: deep narrow indentation costs cubic text
  std::size_t max_depth = 0;  // container levels
  bool nonempty_array = false, nested = false;

  void entered(std::size_t depth) {
    max_depth = std::max(max_depth, depth + 1), nested |= depth > 0;
  }

  Value build(std::size_t depth) {
    if (in.empty() || nodes >= max_nodes || depth >= budget) return scalar(in, arena);
    ++nodes;
    std::uint8_t choice = in.byte() % 9;
    if (choice < 3) return scalar(in, arena);
    if (choice == 8) return chain(depth);
    entered(depth);
    if (choice < 7) {
      std::size_t n = in.below(7);
      nonempty_array |= choice < 5 && n > 0;
      Value* items = arena.alloc<Value>(n);
      Member* members = arena.alloc<Member>(n);
      for (std::size_t i = 0; i < n; ++i) {
        if (choice >= 5) members[i].key = arena.copy(text(in, 4));
        (choice < 5 ? items[i] : members[i].value) = build(depth + 1);
      }
      return choice < 5 ? Value::array(items, n) : object(members, n);
    }
    // the tabular form, sometimes spoiled by one differing element
    std::size_t rows = in.below(5), fields = in.below(4);
    if (rows > 0) nonempty_array = true, entered(depth + 1);
    std::vector<std::string_view> k(fields);
    for (auto& name : k) name = arena.copy(text(in, 3));
    Value t = table(in, arena, k, rows, 3);
    if (rows > 0 && in.byte() % 4 == 0)
      const_cast<Value*>(t.begin())[in.below(rows)] = build(depth + 1);
    return t;
  }

  // a single-child chain of arrays and objects, to reach the depth limit cheaply
  Value chain(std::size_t depth) {
    std::size_t levels = 1 + in.below(budget - depth);
    std::uint64_t pattern = in.u64();
    for (std::size_t i = 0; i < levels; ++i) entered(depth + i);
    Value v = scalar(in, arena, 2);
    std::string_view key = arena.copy(text(in, 2));
    for (std::size_t i = levels; i-- > 0;) {
      bool is_object = (pattern >> (i % 64)) & 1;
      nonempty_array |= !is_object;
      v = is_object ? object(new (arena.alloc<Member>(1)) Member{key, v}, 1)
                    : Value::array(new (arena.alloc<Value>(1)) Value(v), 1);
    }
    return v;
  }
};

template <class Unit>
Value wide_string(const std::vector<char32_t>& cps, vardel::Arena& arena) {
  Unit* units = arena.alloc<Unit>(cps.size());
  for (std::size_t i = 0; i < cps.size(); ++i) units[i] = static_cast<Unit>(cps[i]);
  return Value::wide_string(units, cps.size(), sizeof(Unit));
}

// `v` with each string value that is not ASCII as a wide string of the narrowest width its code
// points allow, as a producer of wide strings must hand it over.
Value widened(const Value& v, vardel::Arena& arena) {
  switch (v.kind()) {
    case K::String: {
      std::vector<char32_t> cps;
      valid_utf8(v.as_string(), &cps);
      char32_t top = cps.empty() ? 0 : *std::max_element(cps.begin(), cps.end());
      if (top < 0x80) return v;
      if (top < 0x100) return wide_string<std::uint8_t>(cps, arena);
      if (top < 0x10000) return wide_string<char16_t>(cps, arena);
      return wide_string<char32_t>(cps, arena);
    }
    case K::Array: {
      Value* items = arena.alloc<Value>(v.size());
      for (std::size_t i = 0; i < v.size(); ++i) items[i] = widened(v[i], arena);
      return Value::array(items, v.size());
    }
    case K::Object: {
      Member* members = arena.alloc<Member>(v.size());
      for (std::size_t i = 0; i < v.size(); ++i)
        members[i] = Member{v.as_map()[i].key, widened(v.as_map()[i].value, arena)};
      return Value::object(vardel::Map(members, v.size()));
    }
    default:
      return v;
  }
}

// Opens deferred containers from the tree they stand for, one level at a time. Each level is a heap
// block of its own, freed on close, so that a level read after it was closed is a use after free.
class Mirror final : public vardel::Source {
 public:
  Mirror(std::size_t fail_at, std::size_t again_at, bool fail_settle)
      : fail_at_(fail_at), again_at_(again_at), fail_settle_(fail_settle) {}
  static Value defer(const Value& v) {
    return v.is_scalar() ? v : Value::deferred(v.kind(), v.size(), &v);
  }
  vardel::Opened open(const Value& deferred, Value& out) override {
    if (++opens_ == fail_at_) return {vardel::Opened::Failed};
    const Value& v = *static_cast<const Value*>(deferred.source());
    FUZZ_CHECK(deferred.kind() == v.kind() && deferred.size() == v.size());
    if (opens_ == again_at_) {
      // the outermost open object with a nested member, as a source reading in another order would
      // ask
      for (std::size_t i = 0; i < open_.size(); ++i) {
        if (open_[i].redo) {
          whole_ = open_[i].of;
          ++agains_;
          return {vardel::Opened::Again, i};
        }
      }
    }
    Level level{&v};
    if (&v == whole_) {
      out = v;  // whole: nothing deferred inside
      whole_ = nullptr;
    } else if (v.kind() == K::Array) {
      level.items = std::make_unique<Value[]>(v.size());
      for (std::size_t i = 0; i < v.size(); ++i) level.items[i] = defer(v[i]);
      out = Value::array(level.items.get(), v.size());
    } else {
      level.members = std::make_unique<Member[]>(v.size());
      for (std::size_t i = 0; i < v.size(); ++i) {
        level.members[i] = {v.as_map()[i].key, defer(v.as_map()[i].value)};
        level.redo |= !v.as_map()[i].value.is_scalar();
      }
      out = Value::object(vardel::Map(level.members.get(), v.size()));
    }
    open_.push_back(std::move(level));
    return {};
  }
  void close() override {
    FUZZ_CHECK(!open_.empty());
    open_.pop_back();
  }
  vardel::Opened settle() override {
    ++settles_;
    return {fail_settle_ ? vardel::Opened::Failed : vardel::Opened::Ok};
  }
  std::size_t opens() const { return opens_; }
  std::size_t settles() const { return settles_; }
  bool failed_open() const { return fail_at_ != 0 && opens_ >= fail_at_; }
  bool balanced() const { return open_.empty(); }

 private:
  struct Level {
    const Value* of;
    std::unique_ptr<Value[]> items;
    std::unique_ptr<Member[]> members;
    bool redo = false;  // an object with a nested member
  };
  std::vector<Level> open_;
  std::size_t opens_ = 0, settles_ = 0, agains_ = 0, fail_at_, again_at_;
  bool fail_settle_;
  const Value* whole_ = nullptr;
};

// Encodes `root` with every container deferred; returns the text, "error: " and the error's text,
// or "failed" when the source failed.
std::string encode_deferred(const Value& root, const vardel::EncodeSettings& settings,
                            Mirror& source) {
  vardel::OutputBuffer out;
  Value deferred = Mirror::defer(root);
  auto r = vardel::encode_into(out, deferred, 0, settings, &source);
  FUZZ_CHECK(source.balanced());
  if (r) return std::string(out.view());
  return r.error().own ? "error: " + r.error().own->display() : "failed";
}

vardel::EncodeSettings settings_from(Bytes& in) {
  static constexpr std::string_view kDelimiters[] = {",",        "\t", "|",  "",  ";",  ", ",  "||",
                                                     "\xc3\xa9", " ",  "\n", ":", "\"", "\0"sv};
  // widths at the limit itself write megabyte lines and starve the run; the Python tests cover them
  // widths past what a text can hold fail at the first indented line; wider ones that fit would
  // allocate gigabytes
  static constexpr std::uint64_t kHugeIndents[] = {
      1ull << 62, (1ull << 62) + 1, (1ull << 63) - 1, 1ull << 63, ~0ull, ~0ull / 3, 4096, 4095};
  vardel::EncodeSettings s;
  std::uint8_t d = in.byte();
  s.delimiter = d < 0xF0 ? std::string(kDelimiters[d % std::size(kDelimiters)]) : text(in, 2);
  std::uint8_t i = in.byte();
  s.indent = i < 0xE0 ? i % 9 : i < 0xF8 ? kHugeIndents[i % std::size(kHugeIndents)] : in.u64();
  if (s.indent > 4096 && s.indent < vardel::kMaxTextSize) s.indent %= 4097;
  std::uint8_t flags = in.byte();
  s.use_length_markers = !(flags & 1);
  s.strict = !(flags & 2);
  s.sort_keys = !(flags & 4);
  s.uniform_indent = flags & 8;
  return s;
}

// The lines of `text` without their leading and trailing spaces; blank lines are dropped.
std::vector<std::string_view> trimmed_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  for (std::size_t start = 0, end; start <= text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    std::size_t first = line.find_first_not_of(' ');
    if (first != line.npos)
      lines.push_back(line.substr(first, line.find_last_not_of(' ') + 1 - first));
  }
  return lines;
}

// The uniform layout writes no blank line and no trailing space, and otherwise the default layout's
// lines in the same order.
void check_uniform(const Value& root, const vardel::EncodeSettings& settings,
                   std::string_view out) {
  std::vector<std::string_view> lines = trimmed_lines(out);
  std::ptrdiff_t breaks = std::count(out.begin(), out.end(), '\n');
  FUZZ_CHECK_MSG(out.empty() || breaks + 1 == std::ptrdiff_t(lines.size()), show(out));
  FUZZ_CHECK_MSG(out.empty() || (out.back() != ' ' && out.find(" \n") == out.npos), show(out));
  vardel::EncodeSettings plain = settings;
  plain.uniform_indent = false;
  auto d = vardel::encode_value(root, 0, plain);  // may fail where the uniform layout indents less
  FUZZ_CHECK_MSG(!d || trimmed_lines(*d) == lines, show(out) + " against " + show(*d));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Bytes in(data, size);
  vardel::EncodeSettings settings = settings_from(in);
  vardel::Arena arena;
  // past the depth limit only where the text stays small: no indentation, or one so wide the first
  // indented line fails
  bool wide = settings.indent > 8 && settings.indent < vardel::kMaxTextSize;
  // Indented text grows with depth times width on every line: a hundred nodes at ten
  // levels reach every layout while keeping each run to kilobytes.
  Builder b{in, arena,
            wide                                          ? 2
            : settings.indent > 0 && settings.indent <= 8 ? 10
                                                          : vardel::kMaxDepth + 40,
            wide ? 2u : 100u};
  Value root = b.build(0);
  std::size_t fail_at = in.byte(), again_at = in.byte();
  bool fail_settle = in.byte() & 1;
  if (!settings.sort_keys) root = shuffled(root, in, arena);
  bool good_delimiter =
      settings.delimiter == "," || settings.delimiter == "\t" || settings.delimiter == "|";
  auto r = vardel::encode_value(root, 0, settings);
  std::string plain = r ? *r : "error: " + r.error().display();
  {
    vardel::OutputBuffer out;
    auto w = vardel::encode_into(out, widened(root, arena), 0, settings);
    std::string spliced = w ? out.str() : "error: " + w.error().own->display();
    FUZZ_CHECK_MSG(spliced == plain, "wide strings change the encoding: " + show(spliced));
  }
  // One way of deferring per input: each costs a whole encoding, and the fuzzer tries them all.
  switch (in.byte() % 3) {
    case 0: {
      Mirror whole(0, 0, false);
      FUZZ_CHECK_MSG(encode_deferred(root, settings, whole) == plain,
                     "deferred containers change the encoding");
      FUZZ_CHECK(whole.settles() == (r ? 0u : 1u));
      break;
    }
    case 1: {
      Mirror again(0, again_at, false);
      FUZZ_CHECK_MSG(encode_deferred(root, settings, again) == plain,
                     "writing an object anew changes the encoding");
      break;
    }
    default: {
      Mirror failing(fail_at, 0, fail_settle);
      std::string partial = encode_deferred(root, settings, failing);
      bool should_fail = failing.failed_open() || (!r && fail_settle);
      FUZZ_CHECK_MSG(partial == (should_fail ? "failed" : plain),
                     show(partial) + " after " + std::to_string(failing.opens()) +
                         " opens, failing at " + std::to_string(fail_at));
    }
  }
  if (!r) {
    const vardel::ToonError& e = r.error();
    std::string at = e.display() + " at depth " + std::to_string(b.max_depth);
    using E = vardel::ToonError::Kind;
    FUZZ_CHECK_MSG(e.kind() == E::InvalidDelimiter
                       ? !good_delimiter && b.nonempty_array && e.message() == settings.delimiter
                   : e.kind() == E::IndentationTooLarge
                       ? settings.indent > 0 && b.nested
                       : e.kind() == E::NestingTooDeep && b.max_depth > vardel::kMaxDepth,
                   at);
    // accepted data with a good delimiter always encodes without indentation, and when shallow at
    // small widths
    FUZZ_CHECK_MSG(!good_delimiter || (settings.indent > 0 || b.max_depth > vardel::kMaxDepth), at);
    FUZZ_CHECK_MSG(!good_delimiter || settings.indent > 8 || b.max_depth > 64, at);
    return 0;
  }
  const std::string& out = *r;
  FUZZ_CHECK(valid_utf8(out) && (out.empty() || out.back() != '\n') && out.find('\r') == out.npos);
  for (std::size_t start = 0, end; start <= out.size(); start = end + 1) {
    end = std::min(out.find('\n', start), out.size());
    std::string_view line = std::string_view(out).substr(start, end - start);
    std::size_t spaces = std::min(line.find_first_not_of(' '), line.size());
    FUZZ_CHECK_MSG(vardel::white_space_prefix(line.substr(spaces)) == 0, show(line));
  }
  FUZZ_CHECK(!root.is_scalar() || (!out.empty() && out.find('\n') == out.npos));
  FUZZ_CHECK(root.kind() != K::Object || root.size() > 0 || out.empty());
  FUZZ_CHECK(root.kind() != K::Array || root.size() > 0 || out == "[0]:");
  if (out.size() > (1u << 14)) return 0;
  if (settings.uniform_indent) check_uniform(root, settings, out);
  auto doc = vardel::decode_tree(out);
  if (doc)
    check_decoded(doc->root);
  else
    check_decode_error(doc.error());
  return 0;
}
