#include <charconv>
#include <cmath>
#include <string>

#include "companion/companion.h"

namespace velmora::companion {

void JsonWriter::put(std::string_view text) {
  pending_ += text;
  if (pending_.size() >= kPiece) flush();
}

void JsonWriter::flush() {
  if (!pending_.empty() && std::fwrite(pending_.data(), 1, pending_.size(), file_) != pending_.size()) ok_ = false;
  pending_.clear();
}

// A writer left without finish() still hands its text on.
JsonWriter::~JsonWriter() { flush(); }

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
  pending_ += '"';
  appendEscaped(pending_, bytes, Escape::Json);
  put("\"");
}

void JsonWriter::number(double value) {
  if (!std::isfinite(value)) pending_ += '"';
  appendShortest(pending_, value);
  put(std::isfinite(value) ? "" : "\"");
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

void JsonWriter::count(std::size_t value) {
  char text[24];
  put(std::string_view(text, static_cast<std::size_t>(std::to_chars(text, text + sizeof text, value).ptr - text)));
}

void JsonWriter::line(long long value) {
  if (value > 0) {
    count(static_cast<std::size_t>(value));
  } else {
    null();
  }
}

void JsonWriter::boolean(bool value) { put(value ? "true" : "false"); }
void JsonWriter::null() { put("null"); }
void JsonWriter::raw(std::string_view json) { put(json); }

bool JsonWriter::finish() {
  flush();
  if (std::fflush(file_) != 0) ok_ = false;
  return ok_ && std::ferror(file_) == 0;
}

void JsonWriter::separate() {
  if (!first_) put(",");
  newline();
  first_ = false;
}

void JsonWriter::newline() {
  pending_ += '\n';
  if (depth_ > 0) pending_.append(2 * static_cast<std::size_t>(depth_), ' ');
}

}  // namespace velmora::companion
