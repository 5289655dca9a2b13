// The value sink: key orders, repeated keys, nesting, and copies of the
// strings it is handed. The decoder: the events it reports for a document,
// and a sink that stops it at any event stops it at once.
#include <string>
#include <vector>

#include "check.h"
#include "core/arena.h"
#include "decode/decode.h"
#include "decode/value_sink.h"
#include "sink_events.h"

using vardel::Arena;
using vardel::ValueSink;
using vardel::testing::feed;
using vardel::testing::show;

namespace {

struct Case {
  const char* name;
  std::vector<std::string> events;
  const char* built;  // show() of the result
};

void check_built(const Case& c) {
  Arena arena;
  ValueSink sink(arena);
  std::size_t accepted = feed(sink, c.events);
  CHECK_CASE(accepted == c.events.size(), c.name);
  CHECK_CASE(sink.complete(), c.name);
  CHECK_CASE(show(sink.result()) == c.built, std::string(c.name) + ": " + show(sink.result()));
}

// Many keys take the large-object path of the AsRead merge.
void check_many_as_read() {
  std::vector<std::string> events = {"{r"};
  std::string expected = "{";
  for (int i = 0; i < 40; ++i) {
    events.push_back("k:k" + std::to_string(39 - i));
    events.push_back("u:" + std::to_string(i));
  }
  events.insert(events.end(), {"k:k30", "u:100", "k:k39", "u:101", "}"});
  for (int i = 0; i < 40; ++i) {
    int value = i == 0 ? 101 : i == 9 ? 100 : i;
    expected += (i ? "," : "") + ("k" + std::to_string(39 - i)) + ":u" + std::to_string(value);
  }
  check_built({"forty keys as read, two repeated", events, (expected + "}").c_str()});
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

// decode_tree: the ValueSink behind the decoder, rows and root sorted.
void check_tree() {
  auto tree = vardel::decode_tree("z: 1\nt[2]{b,a,b}:\n  1,2,3\n  4\na: \"q\\tr\"");
  CHECK(tree.ok() && show(tree->root) == "{a:\"q\tr\",t:[{a:u2,b:u3},{b:u4}],z:u1}");
}

}  // namespace

int main() {
  const Case cases[] = {
      {"scalar at the top", {"u:7"}, "u7"},
      {"every scalar",
       {"[", "n", "t", "f", "u:18446744073709551615", "i:-3", "d:2.5", "s:", "]"},
       "[null,true,false,u18446744073709551615,i-3,d2.5,\"\"]"},
      {"empty containers", {"{s", "k:a", "[", "]", "k:b", "{r", "}", "}"}, "{a:[],b:{}}"},
      {"sorted by key bytes",
       {"{s", "k:b", "u:1", "k:B", "u:2", "k:", "u:3", "k:ab", "u:4", "}"},
       "{:u3,B:u2,ab:u4,b:u1}"},
      {"sorted keeps the last of a repeated key",
       {"{s", "k:b", "u:1", "k:a", "u:2", "k:b", "u:3", "k:b", "u:4", "}"},
       "{a:u2,b:u4}"},
      {"as read keeps the order",
       {"{r", "k:b", "u:1", "k:B", "u:2", "k:a", "u:3", "}"},
       "{b:u1,B:u2,a:u3}"},
      {"as read: first place, last value",
       {"{r", "k:b", "u:1", "k:a", "u:2", "k:b", "u:3", "k:c", "u:4", "k:b", "u:5", "}"},
       "{b:u5,a:u2,c:u4}"},
      {"nested containers return to the outer key",
       {"{s",  "k:y", "[",   "u:1", "{r", "k:z", "n",   "k:a", "t",   "}", "]",
        "k:x", "{s",  "k:b", "[",   "]",  "k:a", "s:q", "}",   "k:w", "f", "}"},
       "{w:false,x:{a:\"q\",b:[]},y:[u1,{z:null,a:true}]}"},
      {"orders apply per object",
       {"{r", "k:b", "{s", "k:d", "u:1", "k:c", "u:2", "}", "k:a", "{r", "k:d", "u:3", "k:c", "u:4",
        "}", "}"},
       "{b:{c:u2,d:u1},a:{d:u3,c:u4}}"},
      {"array of arrays", {"[", "[", "]", "[", "u:1", "[", "]", "]", "]"}, "[[],[u1,[]]]"},
  };
  for (const Case& c : cases) check_built(c);
  check_many_as_read();
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
  check_tree();
  return vardel::testing::finish("test_sink");
}
