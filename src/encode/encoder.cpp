// Entry points, dispatch by kind, scalars and objects.
#include "encode/encoder.h"

namespace vardel {

namespace {

bool valid_array_delimiter(std::string_view d) {
  return d.size() == 1 && (d[0] == ',' || d[0] == '\t' || d[0] == '|');
}

}  // namespace

Encoder::Encoder(OutputBuffer& out, const EncodeSettings& settings, Source* source)
    : out_(out),
      settings_(settings),
      indent_(settings.indent),
      quote_(settings.delimiter),
      delimiter_(valid_array_delimiter(settings.delimiter) ? settings.delimiter[0] : ','),
      delimiter_ok_(valid_array_delimiter(settings.delimiter)),
      uniform_(settings.uniform_indent),
      source_(source) {}

bool Encoder::fail(ToonError::Kind kind, std::string message) {
  error_.emplace(kind, std::move(message));
  return false;
}

bool Encoder::open(const Value& value, Contents& contents) {
  if (!value.is_deferred()) {
    contents.value_ = value;
    return true;
  }
  if (source_ == nullptr || !source_->open(value, contents.value_))
    return fail(ToonError::Kind::Abandoned, "a deferred container could not be opened");
  contents.source_ = source_;
  return true;
}

bool Encoder::enter() {
  if (level_ >= kMaxDepth) {
    return fail(ToonError::Kind::NestingTooDeep,
                "the value is nested more than " + std::to_string(kMaxDepth) + " levels deep");
  }
  ++level_;
  return true;
}

bool Encoder::column(std::uint64_t extra, std::uint64_t depth, std::uint64_t levels,
                     std::uint64_t& column) {
  std::uint64_t steps, width;
  if (indent_ == 0) {
    column = extra;
  } else if (__builtin_add_overflow(depth, levels, &steps) ||
             __builtin_mul_overflow(indent_, steps, &width) ||
             __builtin_add_overflow(extra, width, &column)) {
    column = UINT64_MAX;
  }
  return column <= kMaxIndentation || too_wide();
}

bool Encoder::shifted(std::uint64_t base, std::uint64_t more, std::uint64_t& column) {
  if (__builtin_add_overflow(base, more, &column)) column = UINT64_MAX;
  return column <= kMaxIndentation || too_wide();
}

bool Encoder::too_wide() {
  return fail(ToonError::Kind::IndentationTooLarge,
              "a line would be indented by more than " + std::to_string(kMaxIndentation) +
                  " spaces (indent " + std::to_string(indent_) + ")");
}

bool Encoder::write(const Value& value, std::uint64_t depth, std::uint64_t extra) {
  Value::Kind kind = value.kind();
  if (kind != Value::Kind::Object && kind != Value::Kind::Array) {
    write_scalar(value);
    return true;
  }
  if (!enter()) return false;
  bool ok = kind == Value::Kind::Object ? write_object(value, depth, extra)
                                        : write_array(value, depth, extra);
  leave();
  return ok;
}

void Encoder::write_scalar(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null: out_.append("null", 4); break;
    case Value::Kind::Bool:
      if (value.as_bool())
        out_.append("true", 4);
      else
        out_.append("false", 5);
      break;
    case Value::Kind::Number: write_number(out_, value.as_number()); break;
    case Value::Kind::String: quote_.write_string(out_, value.as_string()); break;
    default: break;
  }
}

bool Encoder::write_member_head(const Member& m) {
  quote_.write_key(out_, m.key);
  if (!m.value.is_scalar()) {
    out_.put(':');
    return false;
  }
  out_.append(": ", 2);
  write_scalar(m.value);
  return true;
}

// Members in the map's order, each on a line of its own at the object's
// prefix. A nested member value starts on the next line, indented by the
// prefix and one more indent. In the default layout the child indents its own
// lines for depth + 1 as well, so the indentation grows as
// indent x k x (k + 3) / 2 at nesting level k; in the uniform one as indent x k.
bool Encoder::write_object(const Value& object, std::uint64_t depth, std::uint64_t extra) {
  if (object.size() == 0) return true;
  std::uint64_t line;
  if (!column(extra, depth, 0, line)) return false;
  Contents contents;
  if (!open(object, contents)) return false;
  Map members = contents.get().as_map();
  std::uint64_t child = 0;  // where nested member values start; found when first needed
  bool have_child = false;
  out_.spaces(line - extra);
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = members[i];
    if (i != 0) out_.newline(line);
    if (write_member_head(m)) continue;
    if (!is_empty_object(m.value)) {
      if (!have_child && !column(extra, depth, 1, child)) return false;
      have_child = true;
      out_.newline(child);
    }
    if (!write(m.value, uniform_ ? 0 : deeper(depth, 1), child)) return false;
    out_.trim_end();
  }
  return true;
}

Result<Ok, ToonError> encode_into(OutputBuffer& out, const Value& value, std::uint64_t depth,
                                  const EncodeSettings& settings, Source* source) {
  Encoder encoder(out, settings, source);
  if (!encoder.write(value, depth, 0)) return fail(std::move(encoder.error()));
  return Ok{};
}

Result<std::string, ToonError> encode_value(const Value& value, std::uint64_t depth,
                                            const EncodeSettings& settings) {
  OutputBuffer out;
  auto written = encode_into(out, value, depth, settings);
  if (!written) return fail(std::move(written.error()));
  return out.str();
}

}  // namespace vardel
