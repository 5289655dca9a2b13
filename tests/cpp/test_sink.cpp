// The value sink: key orders, repeated keys, nesting, and copies of the
// strings it is handed.
#include <string>
#include <vector>

#include "check.h"
#include "core/arena.h"
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

}  // namespace

int main() {
  const Case cases[] = {
      {"scalar at the top", {"u:7"}, "u7"},
      {"every scalar", {"[", "n", "t", "f", "u:18446744073709551615", "i:-3", "d:2.5", "s:", "]"},
       "[null,true,false,u18446744073709551615,i-3,d2.5,\"\"]"},
      {"empty containers", {"{s", "k:a", "[", "]", "k:b", "{r", "}", "}"}, "{a:[],b:{}}"},
      {"sorted by key bytes", {"{s", "k:b", "u:1", "k:B", "u:2", "k:", "u:3", "k:ab", "u:4", "}"},
       "{:u3,B:u2,ab:u4,b:u1}"},
      {"sorted keeps the last of a repeated key",
       {"{s", "k:b", "u:1", "k:a", "u:2", "k:b", "u:3", "k:b", "u:4", "}"}, "{a:u2,b:u4}"},
      {"as read keeps the order", {"{r", "k:b", "u:1", "k:B", "u:2", "k:a", "u:3", "}"},
       "{b:u1,B:u2,a:u3}"},
      {"as read: first place, last value",
       {"{r", "k:b", "u:1", "k:a", "u:2", "k:b", "u:3", "k:c", "u:4", "k:b", "u:5", "}"},
       "{b:u5,a:u2,c:u4}"},
      {"nested containers return to the outer key",
       {"{s", "k:y", "[", "u:1", "{r", "k:z", "n", "k:a", "t", "}", "]", "k:x", "{s", "k:b",
        "[", "]", "k:a", "s:q", "}", "k:w", "f", "}"},
       "{w:false,x:{a:\"q\",b:[]},y:[u1,{z:null,a:true}]}"},
      {"orders apply per object",
       {"{r", "k:b", "{s", "k:d", "u:1", "k:c", "u:2", "}", "k:a", "{r", "k:d", "u:3", "k:c",
        "u:4", "}", "}"},
       "{b:{c:u2,d:u1},a:{d:u3,c:u4}}"},
      {"array of arrays", {"[", "[", "]", "[", "u:1", "[", "]", "]", "]"}, "[[],[u1,[]]]"},
  };
  for (const Case& c : cases) check_built(c);
  check_many_as_read();
  check_copies();
  return vardel::testing::finish("test_sink");
}
