// How velmora-explain shows bytes it did not write: file names, titles,
// records as they stand in a file. Every escaping, UTF-8 check and trimming of
// the report, the JSON and the picture is here, so the three always show the
// same bytes the same way.
//
// One rule underlies every style: a byte the diagnostics would escape (a
// control byte, a backslash) is escaped as velmora's diagnostics escape it
// (showName: "\x09", "\\"). The styles add only what their medium needs:
//   Diagnostic  exactly the diagnostics' rule; other bytes as they are
//                 "a\tb\xff" -> "a\x09b" followed by the raw byte 0xff
//   Display     also every byte that does not start a well-formed, printable
//               UTF-8 character as \xHH, so the text is always valid UTF-8
//                 "caf\xe9" -> "caf\xe9" (escaped)   "\xc3\xa9" -> kept
//   Xml         Display, with &, <, >, " and ' as entities (for element
//               text and attribute values alike; HTML reads them the same)
//   Json        a JSON string body: \" \\ and \u00XX for control bytes and
//               for bytes that are not well-formed UTF-8 (no surrogates, no
//               overlong forms, nothing past U+10FFFF)
// A cut (`maxShown`, in shown characters; an escape counts as its length)
// ends the text with an ellipsis where the bytes go on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::explain {

enum class Escape { Diagnostic, Display, Xml, Json };

inline constexpr std::size_t kNoCut = static_cast<std::size_t>(-1);

// The length of the well-formed UTF-8 sequence at `text[at]` (a lead byte of
// 0x80 or above), or 0. With `printableOnly`, also 0 for the C1 controls and
// U+FFFE, U+FFFF (which XML does not allow).
std::size_t utf8SequenceLength(std::string_view text, std::size_t at, bool printableOnly);

// Returns the characters shown, or kNoCut when the text was cut.
std::size_t appendEscaped(std::string& out, std::string_view bytes, Escape style, std::size_t maxShown = kNoCut);

inline std::string escaped(std::string_view bytes, Escape style, std::size_t maxShown = kNoCut) {
  std::string out;
  appendEscaped(out, bytes, style, maxShown);
  return out;
}

// Text of several lines, each escaped on its own and ended by a line feed
// (a last line without one gets one): for a block of lines in a page.
//   "a<b\nc" (Xml) -> "a&lt;b\nc\n"
std::string escapedLines(std::string_view text, Escape style);

// Text items are blank-padded: the value is what comes before the padding.
std::string_view withoutTrailingBlanks(std::string_view text);
std::string_view withoutBlanksAround(std::string_view text);

}  // namespace velmora::explain
