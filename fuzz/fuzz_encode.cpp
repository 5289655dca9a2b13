// encode_value on trees of any shape with any settings (bad delimiters, widths 0..8 and huge, length
// markers on and off, either layout, sorted or shuffled members, nesting past the limit): text or the
// error the tree and settings call for; text is valid UTF-8 without carriage returns or a final line
// feed, indented with spaces only and at most kMaxIndentation; the decoder reads it without crashing;
// the uniform layout has the default layout's lines, without blank lines or trailing spaces. With
// every container deferred and opened level by level through a Source, the text or error is the same,
// opens and closes pair up, and a source that gives up at any open abandons the encoding cleanly.
#include <algorithm>
#include <memory>

#include "decode/value_sink.h"
#include "encode/encode.h"
#include "fuzz_common.h"
#include "core/text.h"

using namespace fuzz;

namespace {

struct Builder {
  Bytes& in;
  vardel::Arena& arena;
  std::size_t budget, max_nodes, nodes = 0;  // budget bounds the levels: deep narrow indentation costs cubic text
  std::size_t max_depth = 0;                 // container levels
  bool nonempty_array = false, nested = false;

  void entered(std::size_t depth) { max_depth = std::max(max_depth, depth + 1), nested |= depth > 0; }

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
    if (rows > 0 && in.byte() % 4 == 0) const_cast<Value*>(t.begin())[in.below(rows)] = build(depth + 1);
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

// Opens deferred containers from the tree they stand for, one level at a time. Each level is a heap
// block of its own, freed on close, so that a level read after it was closed is a use after free.
class Mirror final : public vardel::Source {
 public:
  explicit Mirror(std::size_t give_up_at) : give_up_at_(give_up_at) {}
  static Value defer(const Value& v) { return v.is_scalar() ? v : Value::deferred(v.kind(), v.size(), &v); }
  bool open(const Value& deferred, Value& out) override {
    if (++opens_ == give_up_at_) return false;
    const Value& v = *static_cast<const Value*>(deferred.source());
    FUZZ_CHECK(deferred.kind() == v.kind() && deferred.size() == v.size());
    Level level;
    if (v.kind() == K::Array) {
      level.items = std::make_unique<Value[]>(v.size());
      for (std::size_t i = 0; i < v.size(); ++i) level.items[i] = defer(v[i]);
      out = Value::array(level.items.get(), v.size());
    } else {
      level.members = std::make_unique<Member[]>(v.size());
      for (std::size_t i = 0; i < v.size(); ++i) level.members[i] = {v.as_map()[i].key, defer(v.as_map()[i].value)};
      out = Value::object(vardel::Map(level.members.get(), v.size()));
    }
    open_.push_back(std::move(level));
    return true;
  }
  void close() override {
    FUZZ_CHECK(!open_.empty());
    open_.pop_back();
  }
  std::size_t opens() const { return opens_; }
  bool balanced() const { return open_.empty(); }

 private:
  struct Level {
    std::unique_ptr<Value[]> items;
    std::unique_ptr<Member[]> members;
  };
  std::vector<Level> open_;
  std::size_t opens_ = 0, give_up_at_;
};

// Encodes `root` with every container deferred; returns the text or "error: " and the error's text.
std::string encode_deferred(const Value& root, const vardel::EncodeSettings& settings, Mirror& source) {
  vardel::OutputBuffer out;
  auto r = vardel::encode_into(out, Mirror::defer(root), 0, settings, &source);
  FUZZ_CHECK(source.balanced());
  return r ? std::string(out.view()) : "error: " + r.error().display();
}

vardel::EncodeSettings settings_from(Bytes& in) {
  static constexpr std::string_view kDelimiters[] = {
      ",", "\t", "|", "", ";", ", ", "||", "\xc3\xa9", " ", "\n", ":", "\"", std::string_view("\0", 1),
  };
  // widths at the limit itself write megabyte lines and starve the run; the Python tests cover them
  static constexpr std::uint64_t kHugeIndents[] = {
      1ull << 31, 1ull << 32, 1ull << 62, (1ull << 63) - 1, 1ull << 63, ~0ull, ~0ull / 3, 4096,
  };
  vardel::EncodeSettings s;
  std::uint8_t d = in.byte();
  s.delimiter = d < 0xF0 ? std::string(kDelimiters[d % std::size(kDelimiters)]) : text(in, 2);
  std::uint8_t i = in.byte();
  s.indent = i < 0xE0 ? i % 9 : i < 0xF8 ? kHugeIndents[i % std::size(kHugeIndents)] : in.u64();
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
    if (first != line.npos) lines.push_back(line.substr(first, line.find_last_not_of(' ') + 1 - first));
  }
  return lines;
}

// The uniform layout writes no blank line and no trailing space, and otherwise the default layout's
// lines in the same order.
void check_uniform(const Value& root, const vardel::EncodeSettings& settings, std::string_view out) {
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
  // past the depth limit only where the text stays small: no indentation, or one so wide the first indented line fails
  bool wide = settings.indent > 8 && settings.indent <= vardel::kMaxIndentation + 1;
  Builder b{in, arena, wide ? 2 : settings.indent > 0 && settings.indent <= 8 ? 24 : vardel::kMaxDepth + 40,
            wide ? 2u : 600u};
  Value root = b.build(0);
  std::size_t give_up_at = in.byte();
  if (!settings.sort_keys) root = shuffled(root, in, arena);
  bool good_delimiter = settings.delimiter == "," || settings.delimiter == "\t" || settings.delimiter == "|";
  auto r = vardel::encode_value(root, 0, settings);
  Mirror whole(0);
  FUZZ_CHECK_MSG(encode_deferred(root, settings, whole) == (r ? *r : "error: " + r.error().display()),
                 "deferred containers change the encoding");
  Mirror giving_up(give_up_at);
  std::string partial = encode_deferred(root, settings, giving_up);
  FUZZ_CHECK_MSG(give_up_at == 0 || giving_up.opens() < give_up_at ? partial == (r ? *r : "error: " + r.error().display())
                                                : partial.rfind("error: Abandoned: ", 0) == 0,
                 show(partial) + " after " + std::to_string(giving_up.opens()) + " opens, giving up at " +
                     std::to_string(give_up_at));
  if (!r) {
    const vardel::ToonError& e = r.error();
    std::string at = e.display() + " at depth " + std::to_string(b.max_depth);
    using E = vardel::ToonError::Kind;
    FUZZ_CHECK_MSG(e.kind() == E::InvalidDelimiter ? !good_delimiter && b.nonempty_array && e.message() == settings.delimiter
                   : e.kind() == E::IndentationTooLarge ? settings.indent > 0 && b.nested
                                                        : e.kind() == E::NestingTooDeep && b.max_depth > vardel::kMaxDepth,
                   at);
    // accepted data with a good delimiter always encodes without indentation, and when shallow at small widths
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
    FUZZ_CHECK_MSG(spaces <= vardel::kMaxIndentation && vardel::white_space_prefix(line.substr(spaces)) == 0,
                   show(line));
  }
  if (settings.uniform_indent) check_uniform(root, settings, out);
  FUZZ_CHECK(!root.is_scalar() || (!out.empty() && out.find('\n') == out.npos));
  FUZZ_CHECK(root.kind() != K::Object || root.size() > 0 || out.empty());
  FUZZ_CHECK(root.kind() != K::Array || root.size() > 0 || out == "[0]:");
  if (out.size() > (1u << 16)) return 0;
  auto doc = vardel::decode_tree(out);
  if (doc) check_decoded(doc->root);
  else check_decode_error(doc.error());
  return 0;
}
