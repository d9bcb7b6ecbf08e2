// The one tokenizer: how bytes split into the tokens of the value rules (a
// null value, a slash, a quoted value, an unquoted value, a repeat count).
// The statements read through it, refilling their buffer where it stops at
// a block's end, and so do the descriptions of a record. Private to the
// reader.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fastrecord.h"
#include "grammar.h"

namespace velmora::detail {

enum class TokenKind : std::uint8_t {
  Null,    // a comma or semicolon where a value was due; right after r*, a separator: r null values
  Slash,   // ends the statement
  Quoted,  // a quoted value, from its opening delimiter (or, continued, from where the last piece stopped)
  Plain,   // an unquoted value
  Repeat,  // r*: the next token is the value it gives r items
  End,     // the bytes ran out before a token started (only blanks and record ends were left)
};

struct Token {
  TokenKind kind = TokenKind::End;
  const char* start = nullptr;  // its first byte (a null value's comma; none after r*: start == end)
  const char* end = nullptr;    // the byte after it: after the slash, the comma, the closing delimiter, the asterisk
  std::uint64_t count = 0;      // a repeat count, saturated (repeatCountStep)
  long long lineFeeds = 0;      // record ends passed over before it
  // The bytes ran out inside it: the next call continues it from where the
  // caller has more bytes. With `final` (no bytes follow) only a quoted value
  // still open is cut.
  bool cut = false;
};

// What the tokenizer carries from one token to the next. A statement starts
// with a fresh state; a description of the bytes after a statement's last
// value starts after a value.
struct TokenState {
  bool atStart = true;      // no value or separator yet: a comma here is a null value
  bool afterComma = false;  // the last separator was a comma or semicolon: another is a null value
  bool afterRepeat = false; // the last token was r*: the next byte starts the value it gives
  // A token the bytes' end cut, which the next call continues.
  TokenKind open = TokenKind::End;
  char delimiter = 0;       // an open quoted value's
  bool countPossible = false;  // an open unquoted value's bytes are all digits so far
  bool anyDigit = false;
  std::uint64_t count = 0;

  static TokenState afterValue() {
    TokenState state;
    state.atStart = false;
    return state;
  }
};

namespace tokens {

inline Token made(TokenKind kind, const char* start, const char* end, long long lineFeeds, bool cut = false) {
  return Token{kind, start, end, 0, lineFeeds, cut};
}

// An unquoted value from p on (its bytes so far were `start` to p): up to the
// byte that ends it; while they are all digits an asterisk makes them a
// repeat count.
inline Token plain(const char* start, const char* p, const char* last, bool final, TokenState& s) {
  for (;; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (endsValue(c)) break;
    if (!s.countPossible) continue;
    if (isDigitByte(c)) {
      s.count = repeatCountStep(s.count, c);
      s.anyDigit = true;
    } else if (c == '*' && s.anyDigit) {
      Token t = made(TokenKind::Repeat, start, p + 1, 0);
      t.count = s.count;
      s.open = TokenKind::End;
      s.afterRepeat = true;
      return t;
    } else {
      s.countPossible = false;
    }
  }
  Token t = made(TokenKind::Plain, start, p, 0);
  t.cut = p == last && !final;
  s.open = t.cut ? TokenKind::Plain : TokenKind::End;
  return t;
}

// A quoted value from p on, inside it (after the opening delimiter, or where
// the last piece stopped): to the delimiter that closes it, a doubled one
// standing for itself. A delimiter at the bytes' end is left for the next
// piece, which tells whether it is doubled.
inline Token quoted(const char* start, const char* p, const char* last, bool final, TokenState& s) {
  const char delimiter = s.delimiter;
  for (;; ++p) {
    const char c = *p;
    if (c == '\n' && p == last) break;
    if (c != delimiter) continue;
    if (p + 1 == last && !final) break;
    if (p[1] == delimiter) {  // never the sentinel: a delimiter is no line feed
      ++p;
      continue;
    }
    s.open = TokenKind::End;
    return made(TokenKind::Quoted, start, p + 1, 0);
  }
  Token t = made(TokenKind::Quoted, start, p, 0);
  t.cut = true;
  s.open = final && p == last ? TokenKind::End : TokenKind::Quoted;
  return t;
}

}  // namespace tokens

// The next token of the bytes [p, last), passing over blanks and record ends
// (counted) and the separator after a value. *last must be a line feed (a
// sentinel; kPadding readable bytes follow it) and `final` says whether any
// bytes follow last (at the end of a file, or of a record described, none).
//   "  1.5, x"   -> Plain "1.5", then Plain "x"       ",,3"     -> Null, Null, Plain "3"
//   "3*7 2*"     -> Repeat 3, Plain "7", Repeat 2, Null      "'it''s'" -> Quoted
//   " / 5"       -> Slash                                 "  "      -> End
inline Token nextToken(const char* p, const char* last, bool final, TokenState& s) {
  if (s.open == TokenKind::Plain) return tokens::plain(p, p, last, final, s);
  if (s.open == TokenKind::Quoted) return tokens::quoted(p, p, last, final, s);
  if (s.afterRepeat) {
    if (p == last && !final) return tokens::made(TokenKind::End, p, p, 0);  // more bytes tell
    s.afterRepeat = false;
    const auto c = static_cast<unsigned char>(*p);
    if (endsValue(c)) return tokens::made(TokenKind::Null, p, p, 0);  // r null values
    if (isQuote(c)) {
      s.delimiter = static_cast<char>(c);
      return tokens::quoted(p, p + 1, last, final, s);
    }
    s.countPossible = false;  // "2*3*5": the value is 3*5
    return tokens::plain(p, p, last, final, s);
  }
  long long lineFeeds = 0;
  for (;;) {
    p += leadingSpaces(p);  // the usual separator, eight bytes at a time
    const auto c = static_cast<unsigned char>(*p);
    const std::uint8_t found = byteClass(c);
    if ((found & kEndsValue) == 0) break;
    if ((found & kBlank) != 0) {
      ++p;
      continue;
    }
    if ((found & kRecordEnd) != 0) {
      if (p == last) return tokens::made(TokenKind::End, p, p, lineFeeds);
      ++p;
      ++lineFeeds;
      continue;
    }
    if ((found & kSlash) != 0) return tokens::made(TokenKind::Slash, p, p + 1, lineFeeds);
    // A comma right after another, or opening the statement, is a null value.
    if (s.atStart || s.afterComma) {
      s.atStart = false;
      s.afterComma = true;
      return tokens::made(TokenKind::Null, p, p + 1, lineFeeds);
    }
    s.afterComma = true;
    ++p;
  }
  s.atStart = false;
  s.afterComma = false;
  Token t;
  if (isQuote(static_cast<unsigned char>(*p))) {
    s.delimiter = *p;
    t = tokens::quoted(p, p + 1, last, final, s);
  } else {
    s.countPossible = true;
    s.anyDigit = false;
    s.count = 0;
    t = tokens::plain(p, p, last, final, s);
  }
  t.lineFeeds = lineFeeds;
  return t;
}

// One value of a record as a statement reads it: a token, or a repeat
// count and the token it repeats.
struct RecordValue {
  TokenKind kind;        // Null, Quoted or Plain: the value's own token (after a repeat count)
  const char* start;     // its first byte, a repeat count's included (a null value's comma: start == end)
  const char* body;      // the value's own first byte (start without a repeat count)
  const char* end;
  std::uint64_t count;   // the values it gives: r of r*v or r*, else 1
  bool zeroRepeat;       // 0*v: a bad value for any item, one all the same
};

// Calls each(value) for every value of the bytes [p, last) up to a slash,
// as statements with items enough would read them from `state` on; returns
// where the slash stands, or nullptr. The bytes as for nextToken, with none
// after them.
template <class Each>
const char* forEachValue(const char* p, const char* last, TokenState state, Each&& each) {
  for (;;) {
    const Token t = nextToken(p, last, true, state);
    switch (t.kind) {
      case TokenKind::End:
        return nullptr;
      case TokenKind::Slash:
        return t.start;
      case TokenKind::Repeat: {
        const Token body = nextToken(t.end, last, true, state);
        each(RecordValue{body.kind, t.start, body.start, body.end, t.count == 0 ? 1 : t.count, t.count == 0});
        p = body.end;
        break;
      }
      case TokenKind::Null:
        each(RecordValue{t.kind, t.start, t.start, t.start, 1, false});
        p = t.end;
        break;
      case TokenKind::Quoted:
      case TokenKind::Plain:
        each(RecordValue{t.kind, t.start, t.start, t.end, 1, false});
        p = t.end;
        break;
    }
  }
}

}  // namespace velmora::detail
