#include <cmath>
#include <string>

#include "companion/companion.h"

namespace velmora::companion {

void JsonWriter::put(std::string_view text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file_) != text.size()) ok_ = false;
}

void JsonWriter::open(char bracket) {
  put(std::string_view(&bracket, 1));
  first_ = true;
  ++depth_;
}

void JsonWriter::close(char bracket) {
  --depth_;
  if (!first_) newline();
  put(std::string_view(&bracket, 1));
  first_ = false;
}

void JsonWriter::key(std::string_view name) {
  separate();
  put("\"");
  put(name);
  put("\": ");
}

void JsonWriter::item() { separate(); }

void JsonWriter::string(std::string_view bytes) {
  put("\"");
  put(escaped(bytes, Escape::Json));
  put("\"");
}

void JsonWriter::number(double value) {
  if (std::isfinite(value)) {
    put(shortestText(value));
  } else {
    string(shortestText(value));
  }
}

void JsonWriter::numberOrNull(bool present, double value) {
  if (present) {
    number(value);
  } else {
    null();
  }
}

void JsonWriter::stringOrNull(bool present, std::string_view bytes) {
  if (present) {
    string(bytes);
  } else {
    null();
  }
}

void JsonWriter::count(std::size_t value) { put(std::to_string(value)); }

void JsonWriter::line(long long value) {
  if (value > 0) {
    put(std::to_string(value));
  } else {
    null();
  }
}

void JsonWriter::boolean(bool value) { put(value ? "true" : "false"); }
void JsonWriter::null() { put("null"); }
void JsonWriter::raw(std::string_view json) { put(json); }

bool JsonWriter::finish() {
  if (std::fflush(file_) != 0) ok_ = false;
  return ok_ && std::ferror(file_) == 0;
}

void JsonWriter::separate() {
  if (!first_) put(",");
  newline();
  first_ = false;
}

void JsonWriter::newline() {
  put("\n");
  for (int i = 0; i < depth_; ++i) put("  ");
}

}  // namespace velmora::companion
