#include "companion/companion.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "freeformat/freeformat.h"

namespace velmora::companion {
namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr char kEllipsis[] = "\xE2\x80\xA6";

bool isControl(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

// The escape of one byte the medium cannot show as it is.
void appendByteEscape(std::string& piece, unsigned char byte, Escape style) {
  piece += style == Escape::Json ? "\\u00" : "\\x";
  piece += kHex[byte >> 4];
  piece += kHex[byte & 0xf];
}

}  // namespace

std::size_t utf8SequenceLength(std::string_view text, std::size_t at, bool printableOnly) {
  const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byteAt(at);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
    if (lead == 0xED) high = 0x9F;  // UTF-16 surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong below U+10000
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  if (byteAt(at + 1) < low || byteAt(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byteAt(at + i) < 0x80 || byteAt(at + i) > 0xBF) return 0;
  if (printableOnly) {
    std::uint32_t codePoint = lead & (0xFFu >> (length + 1));
    for (std::size_t i = 1; i < length; ++i) codePoint = (codePoint << 6) | (byteAt(at + i) & 0x3Fu);
    if (codePoint >= 0x80 && codePoint <= 0x9F) return 0;
    if (codePoint == 0xFFFE || codePoint == 0xFFFF) return 0;
  }
  return length;
}

std::size_t appendEscaped(std::string& out, std::string_view bytes, Escape style, std::size_t maxShown) {
  const bool xml = style == Escape::Xml || style == Escape::XmlShown;
  std::size_t shown = 0;
  std::string piece;
  for (std::size_t at = 0; at < bytes.size();) {
    const auto byte = static_cast<unsigned char>(bytes[at]);
    std::size_t used = 1;
    std::size_t width = 1;
    piece.clear();
    if (byte == '\\' && (style == Escape::DisplayShown || style == Escape::XmlShown)) {
      piece = '\\';  // an escape of text already shown
    } else if (isControl(byte) || byte == '\\') {
      if (style == Escape::Json) {
        if (byte == '\\') {
          piece = "\\\\";
        } else {
          appendByteEscape(piece, byte, style);
        }
      } else {
        // The diagnostics' own rule, so a name reads the same in both.
        showName(bytes.substr(at, 1), [&](std::string_view shownPiece) { piece.append(shownPiece); });
      }
      width = piece.size();
    } else if (byte < 0x80) {
      if (style == Escape::Json && byte == '"') {
        piece = "\\\"";
      } else if (xml && byte == '&') {
        piece = "&amp;";
      } else if (xml && byte == '<') {
        piece = "&lt;";
      } else if (xml && byte == '>') {
        piece = "&gt;";
      } else if (xml && byte == '"') {
        piece = "&quot;";  // so that the text may also stand in an attribute
      } else if (xml && byte == '\'') {
        piece = "&#39;";
      } else {
        piece = static_cast<char>(byte);
      }
    } else if (style == Escape::Diagnostic) {
      piece = static_cast<char>(byte);
    } else if (const std::size_t length = utf8SequenceLength(bytes, at, style != Escape::Json); length != 0) {
      piece.assign(bytes.substr(at, length));
      used = length;
    } else {
      appendByteEscape(piece, byte, style);
      width = 4;
    }
    if (maxShown != kNoCut && shown + width > maxShown) {
      out += kEllipsis;
      return kNoCut;
    }
    out += piece;
    shown += width;
    at += used;
  }
  return shown;
}

std::string escapedLines(std::string_view text, Escape style) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    appendEscaped(out, text.substr(start, end - start), style);
    out += '\n';
    start = end + 1;
  }
  return out;
}

std::string groupedCount(std::size_t n) {
  const std::string digits = std::to_string(n);
  std::string grouped;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  return grouped;
}

char* writeShortest(double value, char* text) {
  const std::string_view word = std::isnan(value)   ? "NaN"
                                : !std::isinf(value) ? ""
                                : value > 0          ? "Infinity"
                                                     : "-Infinity";
  if (!word.empty()) return std::copy(word.begin(), word.end(), text);
  // 24 characters at most: "-2.2250738585072014e-308".
  return std::to_chars(text, text + kShortestRoom, value).ptr;
}

void appendShortest(std::string& out, double value) {
  char text[kShortestRoom];
  out.append(text, writeShortest(value, text));
}

std::string shortestText(double value) {
  std::string text;
  appendShortest(text, value);
  return text;
}

}  // namespace velmora::companion
