// The value sink: key orders, repeated keys, nesting, and copies of the
// strings it is handed, fed by both decoders (decode_tree's objects are
// sorted, the nested reader's as read). The decoder: the events it reports for
// a document, and a sink that stops it at any event stops it at once.
#include <string>
#include <vector>

#include "check.h"
#include "core/arena.h"
#include "decode/decode.h"
#include "decode/nested.h"
#include "decode/value_sink.h"

using vardel::Arena;
using vardel::Member;
using vardel::Number;
using vardel::Value;
using vardel::ValueSink;

namespace {

// A value as one line: {k:v,...}, [v,...], "text", u7, i-7, d1.5, null, true, false.
std::string show(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null:
      return "null";
    case Value::Kind::Bool:
      return v.as_bool() ? "true" : "false";
    case Value::Kind::Number: {
      Number n = v.as_number();
      if (n.form() == Number::Form::Unsigned) return "u" + std::to_string(n.as_unsigned());
      if (n.form() == Number::Form::Negative) return "i" + std::to_string(n.as_negative());
      std::string d = std::to_string(n.as_double());
      while (d.size() > 1 && d.back() == '0' && d[d.size() - 2] != '.') d.pop_back();
      return "d" + d;
    }
    case Value::Kind::String:
      return "\"" + std::string(v.as_string()) + "\"";
    case Value::Kind::Array: {
      std::string out = "[";
      for (const Value& item : v) out += (out.size() > 1 ? "," : "") + show(item);
      return out + "]";
    }
    case Value::Kind::Object: {
      std::string out = "{";
      for (const Member& m : v.as_map())
        out += (out.size() > 1 ? "," : "") + std::string(m.key) + ":" + show(m.value);
      return out + "}";
    }
  }
  return "?";
}

struct Built {
  const char* name;
  const char* text;
  bool nested;        // read by the nested reader, else by decode_tree
  std::string built;  // show() of the result
};

void check_built(const Built& c) {
  Arena arena;
  ValueSink sink(arena);
  std::string got = "error";
  if (c.nested) {
    if (vardel::read_nested(c.text, vardel::DecodeSettings{}, sink).ok() && sink.complete())
      got = show(sink.result());
  } else if (auto tree = vardel::decode_tree(c.text); tree.ok()) {
    got = show(tree->root);
  }
  CHECK_CASE(got == c.built, std::string(c.name) + ": " + got);
}

// Strings and keys are only valid during the call: the sink must copy them.
void check_copies() {
  Arena arena;
  ValueSink sink(arena);
  std::string buffer = "key";
  sink.begin_object(vardel::KeyOrder::Sorted);
  sink.key(buffer);
  buffer = "val";
  sink.string(buffer);
  buffer = "xxx";
  sink.end_object();
  CHECK(show(sink.result()) == "{key:\"val\"}");
}

// Records what it is told in the notation of sink_events.h, and stops the
// decoding at its `stop_at`-th event (1-based; 0: never). With `whole_rows`, a
// row is one event, "row k=v ...", else what the default row() reports.
class Recorder final : public vardel::Sink {
 public:
  explicit Recorder(std::size_t stop_at = 0, bool whole_rows = false)
      : stop_at_(stop_at), whole_rows_(whole_rows) {}
  std::vector<std::string> events;

  bool null() override { return add("n"); }
  bool boolean(bool b) override { return add(b ? "t" : "f"); }
  bool number(vardel::Number n) override {
    return add(show(vardel::Value::number(n)).insert(1, ":"));
  }
  bool string(std::string_view s) override { return add("s:" + std::string(s)); }
  bool begin_array(std::size_t) override { return add("["); }
  bool end_array() override { return add("]"); }
  bool begin_object(vardel::KeyOrder order) override {
    return add(order == vardel::KeyOrder::Sorted ? "{s" : "{r");
  }
  bool key(std::string_view k) override { return add("k:" + std::string(k)); }
  bool end_object() override { return add("}"); }
  bool row(const vardel::Row& r) override {
    if (!whole_rows_) return Sink::row(r);
    std::string e = "row";
    for (std::size_t c : r.columns) e += " " + std::string(r.keys[c]) + "=" + show(r.cells[c]);
    return add(std::move(e));
  }

 private:
  bool add(std::string e) {
    events.push_back(std::move(e));
    return events.size() != stop_at_;
  }
  std::size_t stop_at_;
  bool whole_rows_;
};

struct Document {
  const char* name;
  const char* text;
  std::vector<std::string> events;
  bool whole_rows = false;  // the sink takes rows in one call
};

// The decoder reports `d` as listed; stopped at any of those events, it
// returns Stopped right away, having reported nothing more.
void check_document(const Document& d) {
  Recorder all(0, d.whole_rows);
  auto done = vardel::decode_document(d.text, all);
  CHECK_CASE(done.ok(), d.name);
  std::string got;
  for (const std::string& e : all.events) got += e + " ";
  std::string want;
  for (const std::string& e : d.events) want += e + " ";
  CHECK_CASE(got == want, std::string(d.name) + ": " + got);
  for (std::size_t stop = 1; stop <= all.events.size(); ++stop) {
    Recorder stopping(stop, d.whole_rows);
    auto r = vardel::decode_document(d.text, stopping);
    bool stopped = !r.ok() && r.error().kind() == vardel::ToonError::Kind::Stopped;
    CHECK_CASE(stopped && stopping.events.size() == stop,
               std::string(d.name) + " stopped at " + std::to_string(stop));
  }
}

// A decoding error is not a stop: the events before it are reported, then the error.
void check_error() {
  Recorder r;
  auto done = vardel::decode_document("a: 1\nt[2]: x,\"\\q\"\nb: 2", r);
  CHECK(!done.ok() && done.error().kind() == vardel::ToonError::Kind::DecodingError &&
        done.error().message() == "Invalid escape sequence: \\q");
  CHECK((r.events == std::vector<std::string>{"{s", "k:a", "u:1", "k:t", "[", "s:x"}));
  auto tree = vardel::decode_tree("k: \"x\\\"");
  CHECK(!tree.ok() && tree.error().message() == "Unterminated escape sequence");
}

}  // namespace

int main() {
  // Forty keys as read take the large-object path of the merge; two of them repeat.
  std::string forty, forty_built = "{";
  for (int i = 0; i < 40; ++i) {
    forty += "k" + std::to_string(39 - i) + ": " + std::to_string(i) + "\n";
    int value = i == 0 ? 101 : i == 9 ? 100 : i;
    forty_built += (i ? "," : "") + ("k" + std::to_string(39 - i)) + ":u" + std::to_string(value);
  }
  forty += "k30: 100\nk39: 101";
  const Built built[] = {
      {"scalar at the top", "7", true, "u7"},
      {"every scalar", "[7]: null,true,false,18446744073709551615,-3,2.5,\"\"", true,
       "[null,true,false,u18446744073709551615,i-3,d2.5,\"\"]"},
      {"empty containers", "a[0]:\nb:", true, "{a:[],b:{}}"},
      {"sorted by key bytes", "b: 1\nB: 2\n: 3\nab: 4", false, "{:u3,B:u2,ab:u4,b:u1}"},
      {"sorted keeps the last of a repeated key", "b: 1\na: 2\nb: 3\nb: 4", false, "{a:u2,b:u4}"},
      {"as read keeps the order", "b: 1\nB: 2\na: 3", true, "{b:u1,B:u2,a:u3}"},
      {"as read: first place, last value", "b: 1\na: 2\nb: 3\nc: 4\nb: 5", true,
       "{b:u5,a:u2,c:u4}"},
      {"nested containers return to the outer key",
       "y:\n  [2]:\n      - 1\n      - z: null\n        a: true\nx:\n    b:\n      [0]:\n    a: "
       "q\nw: false",
       true, "{y:[u1,{z:null,a:true}],x:{b:[],a:\"q\"},w:false}"},
      // Rows inside a sorted root: a full row comes in key order, a short one to be sorted.
      {"rows and the root", "z: 1\nt[2]{b,a,c,b}:\n  1,2,3,4\n  5,6\na: \"q\\tr\"", false,
       "{a:\"q\tr\",t:[{a:u2,b:u4,c:u3},{a:u6,b:u5}],z:u1}"},
      {"array of arrays", "[2]:\n  - [0]:\n  - [2]:\n  - 1\n  - [0]:", true, "[[],[u1,[]]]"},
      {"forty keys as read, two repeated", forty.c_str(), true, forty_built + "}"},
  };
  for (const Built& c : built) check_built(c);
  check_copies();

  const Document documents[] = {
      {"entries, root sorted by the sink",
       "b: 1\na: x\nc: -2.5\nd: null\ne: true",
       {"{s", "k:b", "u:1", "k:a", "s:x", "k:c", "d:-2.5", "k:d", "n", "k:e", "t", "}"}},
      {"full rows come sorted, short rows as read",
       "t[3]{b,a,b}:\n  1,2,3\n  4\n  5,6,7,8",
       {"{s",  "k:t", "[",  "{r",  "k:a", "u:2", "k:b", "u:3", "}", "{s", "k:b",
        "u:4", "}",   "{r", "k:a", "u:6", "k:b", "u:7", "}",   "]", "}"}},
      {"a sink that takes rows whole gets full rows in one call, in key order",
       "t[3]{b,a,b}:\n  1,2,3\n  4\n  5,6,7,8\nu[1]{x}:\n  \"q\\tr\"",
       {"{s", "k:t", "[", "row a=u2 b=u3", "{s", "k:b", "u:4", "}", "row a=u6 b=u7", "]", "k:u",
        "[", "row x=\"q\tr\"", "]", "}"},
       true},
      {"the pending key names the array",
       "a:\n  [2]: x,\"y, z\"",
       {"{s", "k:a", "[", "s:x", "s:y, z", "]", "}"}},
      {"empty and dropped arrays",
       "e[0]:\nl[2]:\n  - 1\nf: false",
       {"{s", "k:e", "[", "]", "k:f", "f", "}"}},
      {"escapes resolved in keys, names, fields and values",
       "\"k\\t\": \"a\\nb\"\n\"n\\\"\"[1]{\"f\\\\\"}:\n  \"v\\r\"",
       {"{s", "k:k\t", "s:a\nb", "k:n\"", "[", "{r", "k:f\\", "s:v\r", "}", "]", "}"}},
      {"a brace before the bracket is in the name",
       "{\"[:8\"",
       {"{s", "k:{\"", "[", "s:8\"", "]", "}"}},
      {"empty text", "", {"{s", "}"}},
  };
  for (const Document& d : documents) check_document(d);
  check_error();
  return vardel::testing::finish("test_sink");
}
