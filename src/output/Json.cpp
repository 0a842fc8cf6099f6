#include "output/Json.hpp"

#include <cstdio>

#include "model/ShowNumber.hpp"

namespace quarno {

std::string json_quote(std::string_view text) {
  std::string q = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': q += "\\\""; break;
      case '\\': q += "\\\\"; break;
      case '\n': q += "\\n"; break;
      case '\t': q += "\\t"; break;
      case '\r': q += "\\r"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          q += buf;
        } else {
          q += ch;  // UTF-8 passes through
        }
    }
  }
  return q + "\"";
}

void JsonWriter::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (empty_.empty()) return;  // the document's value
  const bool first = empty_.back();
  empty_.back() = false;
  if (inline_ > 0) {
    if (!first) out_ += ", ";
    return;
  }
  if (!first) out_ += ',';
  out_ += '\n';
  out_.append(2 * empty_.size(), ' ');
}

void JsonWriter::open(char c, bool one_line) {
  before_value();
  out_ += c;
  empty_.push_back(true);
  if (one_line || inline_ > 0) ++inline_;
}

void JsonWriter::close(char c) {
  const bool was_empty = empty_.back();
  empty_.pop_back();
  if (inline_ > 0) {
    --inline_;
  } else if (!was_empty) {
    out_ += '\n';
    out_.append(2 * empty_.size(), ' ');
  }
  out_ += c;
}

JsonWriter& JsonWriter::begin_object(bool one_line) { open('{', one_line); return *this; }
JsonWriter& JsonWriter::end_object() { close('}'); return *this; }
JsonWriter& JsonWriter::begin_array() { open('[', false); return *this; }
JsonWriter& JsonWriter::end_array() { close(']'); return *this; }

JsonWriter& JsonWriter::key(std::string_view name) {
  before_value();
  out_ += json_quote(name);
  out_ += ": ";
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::string(std::string_view text) {
  before_value();
  out_ += json_quote(text);
  return *this;
}

JsonWriter& JsonWriter::number(double v) {
  before_value();
  out_ += show_number(v);
  return *this;
}

JsonWriter& JsonWriter::integer(long long v) {
  before_value();
  out_ += std::to_string(v);
  return *this;
}

JsonWriter& JsonWriter::boolean(bool v) {
  before_value();
  out_ += v ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::null() {
  before_value();
  out_ += "null";
  return *this;
}

JsonWriter& JsonWriter::strings(const std::vector<std::string>& texts) {
  open('[', true);
  for (const std::string& t : texts) string(t);
  close(']');
  return *this;
}

}  // namespace quarno
