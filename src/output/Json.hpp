// A small JSON writer for the program's own documents (the run manifest,
// the printed contract): objects and arrays indented by two spaces, strings
// escaped, numbers in the shortest text that reads back as the same double.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quarno {

class JsonWriter {
 public:
  // An object on one line when `one_line`.
  JsonWriter& begin_object(bool one_line = false);
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();
  // The key of the next member of the enclosing object.
  JsonWriter& key(std::string_view name);
  JsonWriter& string(std::string_view text);
  JsonWriter& number(double v);
  JsonWriter& integer(long long v);
  JsonWriter& boolean(bool v);
  JsonWriter& null();
  // An array of strings on one line.
  JsonWriter& strings(const std::vector<std::string>& texts);

  // The document, with a final line end.
  std::string text() const { return out_ + "\n"; }

 private:
  void before_value();
  void open(char c, bool one_line);
  void close(char c);
  std::string out_;
  std::vector<bool> empty_;  // per open container: nothing written in it yet
  bool after_key_ = false;
  int inline_ = 0;  // inside a container on one line: no line breaks
};

// `text` as a JSON string literal, quotes included.
std::string json_quote(std::string_view text);

}  // namespace quarno
