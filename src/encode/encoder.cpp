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

Stop Encoder::own_error(ToonError::Kind kind, std::string message) {
  if (source_ != nullptr) {
    Opened settled = source_->settle();
    if (settled.status == Opened::Failed) return Stop{Stop::SourceFailed};
    if (settled.status == Opened::Again) return Stop{Stop::Again, settled.again};
  }
  return Stop{Stop::Own, 0, ToonError(kind, std::move(message))};
}

Written Encoder::open(const Value& value, Contents& contents) {
  if (!value.is_deferred()) {
    contents.value_ = value;
    return Ok{};
  }
  Opened opened = source_->open(value, contents.value_);
  switch (opened.status) {
    case Opened::Ok:
      break;
    case Opened::Failed:
      return fail(Stop{Stop::SourceFailed});
    case Opened::Again:
      return fail(Stop{Stop::Again, opened.again});
  }
  contents.owner_ = this;
  contents.level_ = opened_++;
  return Ok{};
}

Failure<Stop> Encoder::too_deep() {
  return fail(
      own_error(ToonError::Kind::NestingTooDeep,
                "the value is nested more than " + std::to_string(kMaxDepth) + " levels deep"));
}

Failure<Stop> Encoder::too_far() {
  return fail(own_error(ToonError::Kind::IndentationTooLarge,
                        "a line would be indented by " + std::to_string(kMaxTextSize) +
                            " spaces or more, more than a text can hold (indent " +
                            std::to_string(indent_) + ")"));
}

Written Encoder::write(const Value& value, std::uint64_t depth, std::uint64_t extra) {
  Value::Kind kind = value.kind();
  if (kind != Value::Kind::Object && kind != Value::Kind::Array) {
    write_scalar(value);
    return Ok{};
  }
  if (Written ok = check_depth(); !ok) return ok;
  Level level(level_);
  return kind == Value::Kind::Object ? write_object(value, depth, extra)
                                     : write_array(value, depth, extra);
}

void Encoder::write_scalar(const Value& value) {
  switch (value.kind()) {
    case Value::Kind::Null:
      out_.append("null", 4);
      break;
    case Value::Kind::Bool:
      if (value.as_bool())
        out_.append("true", 4);
      else
        out_.append("false", 5);
      break;
    case Value::Kind::Number:
      write_number(out_, value.as_number());
      break;
    case Value::Kind::String:
      if (value.string_width() == 0)
        quote_.write_string(out_, value.as_string());
      else
        quote_.write_wide(out_, value.units(), value.size(), value.string_width());
      break;
    default:
      break;
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
Written Encoder::write_object(const Value& object, std::uint64_t depth, std::uint64_t extra) {
  if (object.size() == 0) return Ok{};
  auto line = column(extra, depth, 0);
  if (!line) return fail(std::move(line.error()));
  OutputBuffer::Mark start = out_.mark();
  for (;;) {
    Contents contents;
    if (Written opened = open(object, contents); !opened) return opened;
    out_.spaces(*line - extra);
    Written w = write_members(contents.get().as_map(), depth, extra, *line);
    if (w || !contents.asked_again(w.error())) return w;
    contents.close();
    out_.rewind(start);
  }
}

Written Encoder::write_members(Map members, std::uint64_t depth, std::uint64_t extra,
                               std::uint64_t line) {
  std::uint64_t child = 0;  // where nested member values start; found when first needed
  bool have_child = false;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const Member& m = members[i];
    if (i != 0) out_.newline(line);
    if (write_member_head(m)) continue;
    if (!is_empty_object(m.value)) {
      if (!have_child) {
        auto c = column(extra, depth, 1);
        if (!c) return fail(std::move(c.error()));
        child = *c;
        have_child = true;
      }
      out_.newline(child);
    }
    if (Written w = write(m.value, uniform_ ? 0 : deeper(depth, 1), child); !w) return w;
    out_.trim_end();
  }
  return Ok{};
}

Result<Ok, EncodeError> encode_into(OutputBuffer& out, const Value& value, std::uint64_t depth,
                                    const EncodeSettings& settings, Source* source) {
  Encoder encoder(out, settings, source);
  Written written = encoder.write(value, depth, 0);
  if (written) return Ok{};
  return fail(EncodeError{std::move(written.error().error)});
}

Result<std::string, ToonError> encode_value(const Value& value, std::uint64_t depth,
                                            const EncodeSettings& settings) {
  OutputBuffer out;
  auto written = encode_into(out, value, depth, settings);
  if (!written) return fail(std::move(*written.error().own));
  return out.str();
}

}  // namespace vardel
