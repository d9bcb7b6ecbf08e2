#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

#include "companion/companion.h"

namespace velmora::companion {

void JsonWriter::put(std::string_view text) {
  if (text.size() >= kPiece) {
    flush();
    if (!writeWhole(file_, text)) ok_ = false;
    return;
  }
  std::memcpy(room(text.size()), text.data(), text.size());
  used_ += text.size();
}

void JsonWriter::flush() {
  if (used_ != 0 && !writeWhole(file_, std::string_view(pending_.get(), used_))) ok_ = false;
  used_ = 0;
}

// A writer left without finish() still hands its text on.
JsonWriter::~JsonWriter() { flush(); }

void JsonWriter::open(char bracket) {
  *room(1) = bracket;
  ++used_;
  first_ = true;
  ++depth_;
}

void JsonWriter::close(char bracket) {
  --depth_;
  if (!first_) newline();
  *room(1) = bracket;
  ++used_;
  first_ = false;
}

void JsonWriter::key(std::string_view name) {
  if (name.size() > kPiece / 2) {
    separate();
    put("\"");
    put(name);
    put("\": ");
    return;
  }
  // The separator, the line's indentation and the name, written at once.
  char* at = room(2 + indentation() + kBlanksStep + name.size() + 4);
  char* const from = at;
  if (!first_) *at++ = ',';
  at = newlineAt(at);
  *at++ = '"';
  std::memcpy(at, name.data(), name.size());
  at += name.size();
  std::memcpy(at, "\": ", 3);
  at += 3;
  used_ += static_cast<std::size_t>(at - from);
  first_ = false;
}

void JsonWriter::item() { separate(); }

void JsonWriter::string(std::string_view bytes) {
  escaped_.assign(1, '"');
  appendEscaped(escaped_, bytes, Escape::Json);
  escaped_ += '"';
  put(escaped_);
}

void JsonWriter::number(double value) {
  char* at = room(kShortestRoom + 2);
  char* end = at;
  // A number that is not finite is a string.
  if (!std::isfinite(value)) *end++ = '"';
  end = writeShortest(value, end);
  if (!std::isfinite(value)) *end++ = '"';
  used_ += static_cast<std::size_t>(end - at);
}

void JsonWriter::repeatedNumber(double value) {
  char* at = room(kShortestRoom + 2);
  used_ += static_cast<std::size_t>(repeatedNumberAt(value, at) - at);
}

char* JsonWriter::repeatedNumberAt(double value, char* at) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  const Written* found = nullptr;
  for (const Written& w : written_) {
    if (w.bits == bits && w.length != 0) found = &w;
  }
  if (found == nullptr) {
    Written& w = written_[nextWritten_];
    nextWritten_ = (nextWritten_ + 1) % kWritten;
    char* end = w.text;
    if (!std::isfinite(value)) *end++ = '"';
    end = writeShortest(value, end);
    if (!std::isfinite(value)) *end++ = '"';
    w.bits = bits;
    w.length = static_cast<std::uint8_t>(end - w.text);
    found = &w;
  }
  std::memcpy(at, found->text, sizeof found->text);
  return at + found->length;
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
  constexpr std::size_t kDigits = 24;
  char* at = room(kDigits);
  used_ += static_cast<std::size_t>(std::to_chars(at, at + kDigits, value).ptr - at);
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
  if (!first_) {
    *room(1) = ',';
    ++used_;
  }
  newline();
  first_ = false;
}

std::size_t JsonWriter::indentation() const { return depth_ > 0 ? 2 * static_cast<std::size_t>(depth_) : 0; }

// A line feed and the indentation of the level, written kBlanksStep blanks
// at a time: room for indentation() + kBlanksStep + 1 bytes at `at`.
char* JsonWriter::newlineAt(char* at) const {
  static constexpr char kBlanks[kBlanksStep + 1] = "                                ";
  static_assert(sizeof kBlanks == kBlanksStep + 1);
  *at++ = '\n';
  const std::size_t blanks = indentation();
  for (std::size_t done = 0; done < blanks; done += kBlanksStep) std::memcpy(at + done, kBlanks, kBlanksStep);
  return at + blanks;
}

void JsonWriter::newline() {
  char* at = room(indentation() + kBlanksStep + 1);
  used_ += static_cast<std::size_t>(newlineAt(at) - at);
}

}  // namespace velmora::companion
