// Records as written: how a record splits into values and how each is
// written (describeRecord, describeValues, writtenItem), the values as the
// tokenizer gives them to the statements and each number's parts as the
// number scanner finds them; and a file's records read again (RecordAccess).
#include "records.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "grammar.h"
#include "number.h"
#include "reader.h"
#include "tokens.h"

namespace velmora {
namespace {

// Calls each(value, first) for every value of the record up to a slash, over
// a copy of it that the tokenizer and the number scan can read (followed by
// a line feed and zeros); `first` is where the copy starts. Returns where
// the slash stands in the record, or std::string_view::npos.
template <class Each>
std::size_t forEachValueOf(std::string_view record, Each&& each) {
  std::size_t slash = std::string_view::npos;
  detail::onPaddedCopy(record, [&](const char* first, const char* last) {
    const char* at = detail::forEachValue(first, last, detail::TokenState{},
                                          [&](const detail::RecordValue& value) { each(value, first); });
    if (at != nullptr) slash = static_cast<std::size_t>(at - first);
    return true;
  });
  return slash;
}

std::uint32_t saturated(std::uint64_t n) { return static_cast<std::uint32_t>(std::min<std::uint64_t>(n, UINT32_MAX)); }

// The shape of the number [v.body, v.end), from its parts as the number
// scanner finds them, or false (`v` untouched) when the bytes are not one
// number.
bool numberShape(const char* first, const detail::RecordValue& value, WrittenValue& v) {
  const detail::fast::NumberParts n = detail::fast::scanParts(value.body);
  if (!n.whole || n.end != value.end) return false;
  v.sign = n.first != value.body;
  v.word = n.word != detail::fast::NumberWord::None;
  if (v.word) return true;
  v.point = n.point;
  v.integerDigits = saturated(static_cast<std::uint64_t>(n.integerEnd - n.first));
  v.fractionDigits = n.point ? saturated(static_cast<std::uint64_t>(n.mantissaEnd - n.integerEnd - 1)) : 0;
  v.significantDigits = saturated(static_cast<std::uint64_t>(n.significantDigits));
  if (n.exponentDigits != n.mantissaEnd) {
    v.exponent = detail::isExponentLetter(static_cast<unsigned char>(*n.mantissaEnd)) ? ExponentForm::Letter
                                                                                       : ExponentForm::SignAlone;
    v.exponentAt = static_cast<std::size_t>(n.mantissaEnd - first);
    v.exponentValue = static_cast<int>(std::clamp<std::int64_t>(n.exponent, -kWrittenExponentCap, kWrittenExponentCap));
  }
  return true;
}

WrittenValue writtenOf(const char* first, std::size_t size, const detail::RecordValue& value) {
  WrittenValue v;
  v.start = static_cast<std::size_t>(value.start - first);
  v.end = static_cast<std::size_t>(value.end - first);
  v.body = static_cast<std::size_t>(value.body - first);
  v.repeat = value.count;
  if (v.end < size && v.end > v.start) {  // a null value of a comma has no bytes
    const std::uint8_t after = detail::byteClass(static_cast<unsigned char>(*value.end));
    v.endedBy = (after & detail::kComma) != 0   ? WrittenEnd::Separator
                : (after & detail::kSlash) != 0 ? WrittenEnd::Slash
                : (after & detail::kBlank) != 0 ? WrittenEnd::Blank
                                                : WrittenEnd::RecordEnd;
  }
  if (value.zeroRepeat) return v;  // Other: a bad value for any item
  switch (value.kind) {
    case detail::TokenKind::Null: v.kind = WrittenKind::Null; break;
    case detail::TokenKind::Quoted: v.kind = WrittenKind::Quoted; break;
    default:
      // The shape is set only where the bytes are one number.
      if (numberShape(first, value, v)) v.kind = WrittenKind::Number;
      break;
  }
  return v;
}

}  // namespace

RecordShape describeRecord(std::string_view record) {
  RecordShape shape;
  const std::size_t slash = forEachValueOf(record, [&](const detail::RecordValue& value, const char*) {
    const std::uint32_t n = saturated(std::min<std::uint64_t>(value.count, UINT32_MAX - shape.values));
    shape.values += n;
    if (value.kind == detail::TokenKind::Plain && !value.zeroRepeat &&
        detail::isWholeNumber(value.body, value.end)) {
      shape.numbers += n;
    }
    if (value.kind != detail::TokenKind::Plain || value.body != value.start) shape.plain = false;
  });
  if (slash != std::string_view::npos) shape.plain = false;
  return shape;
}

WrittenRecord describeValues(std::string_view record, std::span<WrittenValue> out) {
  WrittenRecord written;
  written.slash = forEachValueOf(record, [&](const detail::RecordValue& value, const char* first) {
    if (written.values < out.size()) out[written.values] = writtenOf(first, record.size(), value);
    ++written.values;
  });
  return written;
}

bool writtenItem(std::string_view record, int item, WrittenValue& value) {
  if (item < 1) return false;
  auto left = static_cast<std::uint64_t>(item);  // values still to pass, this one's included
  bool found = false;
  forEachValueOf(record, [&](const detail::RecordValue& each, const char* first) {
    if (found) return;
    if (each.count >= left) {
      value = writtenOf(first, record.size(), each);
      found = true;
      return;
    }
    left -= each.count;
  });
  return found;
}

WrittenValue writtenValuePadded(const char* first, const char* last) {
  static_assert(kWrittenValuePadding == detail::kNumberPadding);
  return writtenOf(first, static_cast<std::size_t>(last - first),
                   detail::RecordValue{detail::TokenKind::Plain, first, first, last, 1, false});
}

WrittenValue writtenValueAlone(std::string_view bytes) {
  // Returned as made, never copied whole right after its fields were stored.
  return detail::onPaddedCopy(bytes, [](const char* first, const char* last) { return writtenValuePadded(first, last); });
}

WrittenValue writtenShortValue(std::string_view bytes) {
  WrittenValue v;
  v.end = bytes.size();
  v.kind = WrittenKind::Number;
  std::size_t at = 0;
  v.sign = !bytes.empty() && bytes[0] == '-';
  at += v.sign ? 1 : 0;
  const std::size_t point = bytes.find('.', at);
  v.point = point != std::string_view::npos;
  const std::size_t integerEnd = v.point ? point : bytes.size();
  v.integerDigits = static_cast<std::uint32_t>(integerEnd - at);
  v.fractionDigits = v.point ? static_cast<std::uint32_t>(bytes.size() - point - 1) : 0;
  // As the scanner counts them: from the first nonzero digit to the last,
  // the point not among them.
  std::size_t nonzero = at;
  while (nonzero < bytes.size() && (bytes[nonzero] == '0' || bytes[nonzero] == '.')) ++nonzero;
  v.significantDigits = static_cast<std::uint32_t>(bytes.size() - nonzero) - (v.point && nonzero < integerEnd ? 1 : 0);
  return v;
}

bool writtenShortSecond(std::string_view record, std::uint32_t& decimals, std::uint32_t& significant) {
#if defined(__SSE2__)
  constexpr std::size_t kStep = 16;
  // At most 31 bytes: two loads, the second ending at the record's end; a
  // record shorter than a step is looked at in a copy padded with blanks.
  char padded[kStep];
  const char* p = record.data();
  std::size_t n = record.size();
  if (n > 2 * kStep) return false;
  if (n < kStep) {
    std::memset(padded, ' ', sizeof padded);
    if (n > 0) std::memcpy(padded, p, n);
    p = padded;
    n = kStep;
  }
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - kStep));
  const unsigned shift = static_cast<unsigned>(n - kStep);
  const auto maskOf = [shift](__m128i lowTest, __m128i highTest) {
    return static_cast<std::uint32_t>(_mm_movemask_epi8(lowTest)) |
           static_cast<std::uint32_t>(_mm_movemask_epi8(highTest)) << shift;
  };
  // Such a record's bytes are blanks, digits, points and minus signs (a
  // minus only a value's first byte): a value is a run of bytes that are
  // not blanks, and its significant digits start at its first digit above 0.
  const __m128i blank = _mm_set1_epi8(' '), point = _mm_set1_epi8('.'), zero = _mm_set1_epi8('0');
  const auto inRecord = static_cast<std::uint32_t>((std::uint64_t{1} << n) - 1);
  const std::uint32_t value = ~maskOf(_mm_cmpeq_epi8(low, blank), _mm_cmpeq_epi8(high, blank)) & inRecord;
  const std::uint32_t points = maskOf(_mm_cmpeq_epi8(low, point), _mm_cmpeq_epi8(high, point));
  const std::uint32_t nonzeros = maskOf(_mm_cmpgt_epi8(low, zero), _mm_cmpgt_epi8(high, zero));
  const std::uint32_t starts = value & ~(value << 1), lasts = value & ~(value >> 1);
  const std::uint32_t secondStart = starts & (starts - 1), secondLast = lasts & (lasts - 1);
  if (secondStart == 0 || secondLast == 0) return false;
  const auto start = static_cast<unsigned>(__builtin_ctz(secondStart));
  const auto end = static_cast<unsigned>(__builtin_ctz(secondLast)) + 1;
  const auto its = static_cast<std::uint32_t>(((std::uint64_t{1} << end) - 1) & ~((std::uint64_t{1} << start) - 1));
  const std::uint32_t pointAt = points & its;
  const unsigned integerEnd = pointAt != 0 ? static_cast<unsigned>(__builtin_ctz(pointAt)) : end;
  const std::uint32_t digitsAbove = nonzeros & its;
  const unsigned nonzero = digitsAbove != 0 ? static_cast<unsigned>(__builtin_ctz(digitsAbove)) : end;
  decimals = pointAt != 0 ? end - integerEnd - 1 : 0;
  significant = end - nonzero - (pointAt != 0 && nonzero < integerEnd ? 1 : 0);
  return true;
#else
  // Split where the masks are not at hand: the second run of bytes that
  // are not blanks.
  std::size_t at = 0;
  for (int item = 0; item < 2; ++item) {
    while (at < record.size() && record[at] == ' ') ++at;
    if (at == record.size()) return false;
    if (item == 1) break;
    while (at < record.size() && record[at] != ' ') ++at;
  }
  std::size_t end = at;
  while (end < record.size() && record[end] != ' ') ++end;
  const WrittenValue v = writtenShortValue(record.substr(at, end - at));
  decimals = v.fractionDigits;
  significant = v.significantDigits;
  return true;
#endif
}

bool isBlankByte(unsigned char c) { return detail::isBlank(c); }


RecordAccess::RecordAccess(std::string_view name) {
  const std::string path(fileNameOf(name));
  if (unaskableNameError(path) != 0) return;
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

RecordAccess::~RecordAccess() {
  if (fd_ >= 0) ::close(fd_);
}

bool RecordAccess::recordAt(long long offset, FetchedRecord& record) {
  record = FetchedRecord{};
  if (fd_ < 0 || offset < 0) return false;
  constexpr std::size_t kPiece = 4096;
  std::size_t pieceSize = kFirstRead;
  char piece[kPiece];
  auto at = static_cast<off_t>(offset);
  bool ended = false;  // a line feed or the end of the file was met
  bool any = false;
  while (!ended && record.bytes.size() < kMaxFetchedRecord) {
    const std::size_t room = kMaxFetchedRecord - record.bytes.size();
    const std::size_t left = kMaxFetchedBytes - bytesRead_;
    std::size_t wanted = room + 1 < pieceSize ? room + 1 : pieceSize;  // one byte more tells a cut record
    if (wanted > left) wanted = left;
    if (wanted == 0) return false;
    const long got = readAt(piece, wanted, at);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) {
      ended = true;
      break;
    }
    any = true;
    bytesRead_ += static_cast<std::size_t>(got);
    const auto* lineFeed = static_cast<const char*>(std::memchr(piece, '\n', static_cast<std::size_t>(got)));
    const std::size_t take = lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - piece) : static_cast<std::size_t>(got);
    if (take > room) {
      record.bytes.append(piece, room);
      record.cut = true;
      break;
    }
    record.bytes.append(piece, take);
    at += static_cast<off_t>(take);
    pieceSize = kPiece;
    if (lineFeed != nullptr) {
      ended = true;
      record.next = static_cast<long long>(at) + 1;
    }
  }
  if (!any) return false;
  if (!ended) record.cut = true;
  return true;
}

void RecordAccess::readAhead(std::vector<long long> offsets) {
  ahead_.clear();
  aheadBytes_.clear();
  struct stat status {};
  if (fd_ < 0 || ::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) return;
  constexpr auto kWindow = static_cast<long long>(kFirstRead);
  constexpr auto kGap = static_cast<long long>(kAheadGap);
  constexpr std::size_t kLongestPiece = std::size_t{64} << 10;
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  const auto size = static_cast<long long>(status.st_size);
  std::vector<char> piece(kLongestPiece);
  std::size_t total = 0;
  std::size_t i = 0;
  while (i < offsets.size() && offsets[i] < 0) ++i;
  while (i < offsets.size() && offsets[i] < size && total < kAheadBytes) {
    // A piece from this record's offset to the first read of the last
    // record within kAheadGap of the one before.
    const long long start = offsets[i];
    std::size_t last = i;
    while (last + 1 < offsets.size() && offsets[last + 1] <= offsets[last] + kWindow + kGap &&
           offsets[last + 1] + kWindow - start <= static_cast<long long>(kLongestPiece)) {
      ++last;
    }
    const auto wanted = static_cast<std::size_t>(offsets[last] + kWindow - start);
    std::size_t got = 0;
    bool ended = false;
    while (got < wanted) {
      const ssize_t n =
          ::pread(fd_, piece.data() + got, wanted - got, static_cast<off_t>(start) + static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return;  // what follows is read as before
      if (n == 0) {
        ended = true;
        break;
      }
      got += static_cast<std::size_t>(n);
    }
    total += got;
    for (; i <= last; ++i) {
      const auto from = static_cast<std::size_t>(offsets[i] - start);
      // A first read of kFirstRead bytes: where the file ended sooner, what was there.
      if (from + kFirstRead > got && !ended) break;
      const std::size_t count = from < got ? std::min(kFirstRead, got - from) : 0;
      const char* bytes = piece.data() + from;
      const auto* lineFeed = static_cast<const char*>(std::memchr(bytes, '\n', count));
      const std::size_t kept = lineFeed != nullptr ? static_cast<std::size_t>(lineFeed - bytes) + 1 : count;
      ahead_.push_back(Ahead{offsets[i], static_cast<std::uint32_t>(count), static_cast<std::uint32_t>(kept),
                             aheadBytes_.size()});
      aheadBytes_.append(bytes, kept);
    }
    if (i <= last) return;  // the file is shorter than it was: what follows is read as before
  }
}

long RecordAccess::readAt(char* into, std::size_t wanted, long long at) {
  const auto found = std::lower_bound(ahead_.begin(), ahead_.end(), at,
                                      [](const Ahead& ahead, long long offset) { return ahead.offset < offset; });
  if (wanted <= kFirstRead && found != ahead_.end() && found->offset == at) {
    // A read of fewer bytes returns as many of them; the record's bytes
    // past its line feed are never looked at.
    const std::size_t got = std::min<std::size_t>(wanted, found->got);
    std::memcpy(into, aheadBytes_.data() + found->at, std::min<std::size_t>(got, found->kept));
    return static_cast<long>(got);
  }
  return static_cast<long>(::pread(fd_, into, wanted, static_cast<off_t>(at)));
}

}  // namespace velmora
