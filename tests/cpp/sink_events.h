// Sink events written as short texts, for the sink tests: "{s" and "{r" begin
// an object (Sorted, AsRead), "}" ends it, "[" and "]" an array, "k:x" is the
// key x, "s:x" the string x, "u:7", "i:-7" and "d:1.5" numbers, "n", "t", "f"
// null, true and false.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/value.h"
#include "decode/sink.h"

namespace vardel::testing {

// Reports `events` to `sink`; returns how many were accepted before it stopped.
inline std::size_t feed(Sink& sink, const std::vector<std::string>& events) {
  std::size_t n = 0;
  for (const std::string& e : events) {
    std::string_view rest = e.size() > 2 ? std::string_view(e).substr(2) : "";
    const char* arg = rest.data();  // null-terminated: the rest of `e`
    bool go = true;
    if (e == "{s")
      go = sink.begin_object(KeyOrder::Sorted);
    else if (e == "{r")
      go = sink.begin_object(KeyOrder::AsRead);
    else if (e == "}")
      go = sink.end_object();
    else if (e == "[")
      go = sink.begin_array(0);
    else if (e == "]")
      go = sink.end_array();
    else if (e == "n")
      go = sink.null();
    else if (e == "t" || e == "f")
      go = sink.boolean(e == "t");
    else if (e[0] == 'k')
      go = sink.key(rest);
    else if (e[0] == 's')
      go = sink.string(rest);
    else if (e[0] == 'u')
      go = sink.number(Number::from_unsigned(std::strtoull(arg, 0, 10)));
    else if (e[0] == 'i')
      go = sink.number(Number::from_negative(std::strtoll(arg, 0, 10)));
    else if (e[0] == 'd')
      go = sink.number(Number::from_double(std::strtod(arg, 0)));
    if (!go) return n;
    ++n;
  }
  return n;
}

// A value as one line: {k:v,...}, [v,...], "text", u7, i-7, d1.5, null, true, false.
inline std::string show(const Value& v) {
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

}  // namespace vardel::testing
