#include "explain/facts.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "comparison/comparison.h"
#include "companion/companion.h"
#include "explain/findings.h"
#include "recordlook.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velmora::explain {

using namespace velmora::companion;

namespace {

// A stop of velmora's, carried out of the reader to explainPair: its facts,
// copied while the reader that stopped still holds them.
struct Stopped {
  StopSeen facts;
};
void throwStop(const StopReport& report) {
  StopSeen stop;
  static_cast<StopFacts&>(stop) = report;
  if (!report.file.empty()) stop.file = std::string(report.file);
  stop.text.assign(report.text, report.textLength);
  // Line 2's description runs to the text's last byte, its line feed.
  stop.description.assign(report.text + report.descriptionStart,
                          report.textLength - 1 - report.descriptionStart);
  // The record it stopped in, judged while the reader holds it.
  if (!report.record.empty()) {
    stop.causes = judgeRecordCauses(report.record.substr(0, kMaxShownRecordBytes), false, 0, stop.causeWhere);
  }
  throw Stopped{std::move(stop)};
}

// Asks for the whole large pages within `bytes` at `data` (storage not
// touched yet: a vector's room reserved, say) to be given as large pages, so
// that a list of a million rows costs a page fault every 2 MiB rather than
// every 4 KiB. Only advice; where it is not taken, nothing changes.
void adviseLargePages(const void* data, std::size_t bytes) {
  constexpr std::uintptr_t kLarge = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (start + kLarge - 1) / kLarge * kLarge;
  const std::uintptr_t last = (start + bytes) / kLarge * kLarge;
  if (last > first) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Room for `n` elements in `v`, its new storage advised as above.
template <class T, class Allocator>
void reserveInLargePages(std::vector<T, Allocator>& v, std::size_t n) {
  if (v.capacity() >= n) return;
  v.reserve(n);
  adviseLargePages(v.data(), v.capacity() * sizeof(T));
}

}  // namespace

void TopRows::reserve(std::size_t rows) { reserveInLargePages(rows_, rows); }

std::uint32_t* TopRows::rowsToFill(std::size_t rows) {
  reserveInLargePages(rows_, rows);
  rows_.resize(rows);
  chunk_.clear();
  return rows_.data();
}

namespace {

// Orders contributions: NaN first (it is what makes a total NaN), then larger
// squares, then lower rows. A square is never negative (nor -0), so the
// order of its bits is the order of its values; every NaN takes the largest
// key. An index is below 2^32: an ordering may use the bits above.
struct Contribution {
  std::uint64_t key;
  std::size_t index;
};
Contribution contributionOf(double square, std::size_t index) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &square, sizeof bits);
  return {std::isnan(square) ? UINT64_MAX : bits, index};
}
bool addsMore(const Contribution& a, const Contribution& b) {
  return a.key != b.key ? a.key > b.key : a.index < b.index;
}

// Puts contributions [first, last) whose keys are alike above bit 48 and
// that stand in the order of their rows in the list's order: by the rest of
// their keys, largest first, a byte at a time from the lowest, each pass a
// stable count, so that equal keys keep the order of their rows; a byte that
// every key holds alike is passed over. `spare`, room for as many, holds a
// copy between passes.
constexpr unsigned kCountBits = 16;
void orderByBytes(Contribution* first, Contribution* last, Contribution* spare) {
  constexpr unsigned kPasses = (64 - kCountBits) / 8;
  const auto n = static_cast<std::size_t>(last - first);
  std::uint32_t counts[kPasses][256] = {};
  for (const Contribution* c = first; c != last; ++c) {
    for (unsigned b = 0; b < kPasses; ++b) ++counts[b][(c->key >> (8 * b)) & 0xFF];
  }
  Contribution* from = first;
  Contribution* to = spare;
  for (unsigned b = 0; b < kPasses; ++b) {
    std::uint32_t* count = counts[b];
    if (count[(first->key >> (8 * b)) & 0xFF] == n) continue;
    // The largest byte first.
    std::uint32_t next = 0;
    for (int d = 255; d >= 0; --d) {
      const std::uint32_t here = count[d];
      count[d] = next;
      next += here;
    }
    for (const Contribution* c = from; c != from + n; ++c) to[count[(c->key >> (8 * b)) & 0xFF]++] = *c;
    std::swap(from, to);
  }
  if (from != first) std::copy(from, from + n, first);
}

// The same for the rows of one count (the top kCountBits bits of their keys
// alike), many of them: one stable pass by the key's next bits, as many as
// leave a few rows a group, the groups largest first; then each group in
// place, a few rows by moving each past the smaller keys before it (an
// equal key stays after, so the order of rows holds), more by the bytes
// above. `spare` holds copies; the rows' indices are written to `out` in
// that order.
void orderByKeys(const Contribution* first, const Contribution* last, std::vector<Contribution>& spare,
                 std::uint32_t* out) {
  constexpr std::size_t kFewInGroup = 32;
  constexpr unsigned kMostBits = 12;
  const auto n = static_cast<std::size_t>(last - first);
  unsigned bits = 8;
  while (bits < kMostBits && (std::size_t{4} << bits) < n) ++bits;
  const unsigned shift = 64 - kCountBits - bits;
  const std::uint64_t mask = (std::uint64_t{1} << bits) - 1;
  const std::size_t groups = std::size_t{1} << bits;
  // Group g holds the rows whose bits are mask - g (the largest first);
  // ends[g] is where it starts, and once they are placed, where it ends.
  std::uint32_t ends[std::size_t{1} << kMostBits];
  std::fill(ends, ends + groups, 0);
  for (const Contribution* c = first; c != last; ++c) ++ends[mask - ((c->key >> shift) & mask)];
  std::uint32_t next = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    const std::uint32_t here = ends[g];
    ends[g] = next;
    next += here;
  }
  spare.resize(2 * n);
  Contribution* const from = spare.data();
  for (const Contribution* c = first; c != last; ++c) from[ends[mask - ((c->key >> shift) & mask)]++] = *c;
  Contribution* begin = from;
  for (std::size_t g = 0; g < groups; ++g) {
    Contribution* const end = from + ends[g];
    if (static_cast<std::size_t>(end - begin) > kFewInGroup) {
      orderByBytes(begin, end, begin + n);
    } else {
      for (Contribution* c = begin + 1; c < end; ++c) {
        const Contribution here = *c;
        Contribution* at = c;
        for (; at != begin && at[-1].key < here.key; --at) *at = at[-1];
        *at = here;
      }
    }
    begin = end;
  }
  for (std::size_t k = 0; k < n; ++k) out[k] = static_cast<std::uint32_t>(from[k].index);
}

// The same for rows of few distinct keys (a table of fixed decimals, whose
// squares repeat): the keys found in one pass, in a table kept open by
// linear probing, each row's slot noted in it, the keys ordered, and each
// row's index written once to its key's place in `out`, in the order of its
// rows. Returns false, having written nothing, where the rows hold more than
// kFewKeys distinct keys.
bool orderByFewKeys(Contribution* first, Contribution* last, std::uint32_t* out) {
  constexpr std::size_t kFewKeys = 64;
  constexpr unsigned kSlotBits = 8;  // four slots a key or more
  constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
  // An empty slot's key: the count's top bits turned, so no row's key.
  const std::uint64_t empty = first->key ^ (std::uint64_t{1} << 63);
  std::uint64_t keys[kSlots];
  std::uint32_t places[kSlots];
  std::fill(std::begin(keys), std::end(keys), empty);
  std::size_t distinct = 0;
  std::size_t slots[kFewKeys];
  for (Contribution* c = first; c != last; ++c) {
    const std::uint64_t key = c->key;
    std::size_t slot = (key * 0x9E3779B97F4A7C15) >> (64 - kSlotBits);
    while (keys[slot] != key && keys[slot] != empty) slot = (slot + 1) & (kSlots - 1);
    if (keys[slot] == empty) {
      if (distinct == kFewKeys) return false;
      keys[slot] = key;
      places[slot] = 0;
      slots[distinct++] = slot;
    }
    ++places[slot];
    c->index |= std::uint64_t{slot} << 32;
  }
  // The largest key first; each key's rows placed after the larger keys'.
  std::sort(slots, slots + distinct, [&](std::size_t a, std::size_t b) { return keys[a] > keys[b]; });
  std::uint32_t next = 0;
  for (std::size_t k = 0; k < distinct; ++k) {
    const std::uint32_t here = places[slots[k]];
    places[slots[k]] = next;
    next += here;
  }
  for (const Contribution* c = first; c != last; ++c) out[places[c->index >> 32]++] = static_cast<std::uint32_t>(c->index);
  return true;
}

// A count's rows' indices in the list's order, written to `out`, by
// whichever of the two above fits them; apart from the sum's pass, which
// keeps its registers.
[[gnu::noinline]] void orderCount(Contribution* first, Contribution* last, std::vector<Contribution>& spare,
                                  std::uint32_t* out) {
  if (!orderByFewKeys(first, last, out)) orderByKeys(first, last, spare, out);
}

}  // namespace

void TopRows::start(const Columns (&files)[2], const double* reference, double total) {
  files_[0] = files[0];
  files_[1] = files[1];
  reference_ = reference;
  total_ = total;
  rows_.clear();
  recordEnds_.clear();
  text_.clear();
  chunk_.clear();
}

TopRows::Listed TopRows::gatheredOf(std::size_t index) const {
  Listed g{};
  for (int f = 0; f < 2; ++f) {
    const Columns& file = files_[f];
    if (index >= file.rows) continue;
    g.places[f] = LoadRecord::placeOf(file.places, file.firstRowLine, file.rowsOfOneLine, index);
    for (int c = 0; c < 3; ++c) g.values[f][c] = file.values[c][index];
  }
  g.index = static_cast<std::uint32_t>(index);
  g.hasReference = index < files_[0].rows;
  // The run's own sum, for the square of the row as it entered the total.
  // (The reference's value is the row's, so it stands as the first row's.)
  SquaredDifferences sum;
  sum.reference = reference_ + index;
  g.scaledDifference = sum.scaledDifference(1, g.values[1][1]);
  g.square = sum.squaredDifference(1, g.values[1][1]);
  return g;
}

RowFacts TopRows::factsFrom(const Listed& g) const {
  const auto firstLine = LoadRecord::firstLineOf;
  const auto lastLine = LoadRecord::lastLineOf;
  RowFacts row;
  row.row = std::size_t{g.index} + 1;
  row.comparedLine = firstLine(g.places[1]);
  row.comparedLastLine = lastLine(g.places[1]);
  for (int c = 0; c < 3; ++c) row.comparedValues[c] = g.values[1][c];
  row.comparedValue = row.comparedValues[1];
  row.hasReference = g.hasReference;
  if (row.hasReference) {
    row.referenceLine = firstLine(g.places[0]);
    row.referenceLastLine = lastLine(g.places[0]);
    for (int c = 0; c < 3; ++c) row.referenceValues[c] = g.values[0][c];
    row.referenceValue = row.referenceValues[1];
  }
  row.scaledDifference = g.scaledDifference;
  row.square = g.square;
  row.share = shareOf(row.square);
  return row;
}

RowFacts TopRows::factsOf(std::size_t index) const { return factsFrom(gatheredOf(index)); }

const TopRows::Listed& TopRows::gathered(std::size_t k) const {
  if (k < chunkStart_ || k >= chunkStart_ + chunk_.size()) {
    const std::size_t count = std::min(kGathered, rows_.size() - k);
    chunkStart_ = k;
    reserveInLargePages(chunk_, count);
    chunk_.resize(count);
    // The chunk's places ordered by row, by a count of rows sixteen at a
    // time (close enough for the columns' cache lines).
    constexpr unsigned kShift = 4;
    const std::size_t buckets = (static_cast<std::size_t>(files_[1].rows) >> kShift) + 1;
    std::vector<std::uint32_t> starts(buckets + 1, 0);
    for (std::size_t j = 0; j < count; ++j) ++starts[(rows_[k + j] >> kShift) + 1];
    for (std::size_t b = 0; b < buckets; ++b) starts[b + 1] += starts[b];
    order_.resize(count);
    for (std::size_t j = 0; j < count; ++j) order_[starts[rows_[k + j] >> kShift]++] = static_cast<std::uint32_t>(j);
    if (!gatheredOfOneLine(k)) {
      for (const std::uint32_t j : order_) chunk_[j] = gatheredOf(rows_[k + j]);
    }
  }
  return chunk_[k - chunkStart_];
}

std::pair<long long, long long> TopRows::linesOf(std::size_t k, int f) const {
  const std::size_t index = rows_[k];
  if (index >= files_[f].rows) return {0, 0};
  const std::uint64_t place = gathered(k).places[f];
  return {LoadRecord::firstLineOf(place), LoadRecord::lastLineOf(place)};
}

void TopRows::add(std::size_t index) {
  rows_.push_back(static_cast<std::uint32_t>(index));
  chunk_.clear();
}

void TopRows::addRecords(std::string_view reference, std::string_view compared) {
  // Every listed row's ends, room made once; past the bytes the record
  // access may read, most rows add none to the text.
  if (recordEnds_.empty()) recordEnds_.reserve(2 * rows_.size());
  for (const std::string_view record : {reference, compared}) {
    // Past what the offsets can say (never, with the record access's bounds), nothing.
    if (!record.empty() && text_.size() + record.size() <= UINT32_MAX) text_.append(record);
    recordEnds_.push_back(static_cast<std::uint32_t>(text_.size()));
  }
}

RowFacts TopRows::operator[](std::size_t k) const {
  RowFacts row = factsWithoutRecords(k);
  const auto [reference, compared] = recordsOf(k);
  row.referenceRecord = reference;
  row.comparedRecord = compared;
  return row;
}

namespace {

Presence presenceOf(const std::string& name) {
  Presence presence;
  struct stat status {};
  if (const int error = unaskableNameError(name); error != 0) {
    presence.error = error;
  } else if (::stat(name.c_str(), &status) != 0) {
    presence.error = errno;
  } else {
    presence.exists = true;
    presence.directory = S_ISDIR(status.st_mode);
    presence.regular = S_ISREG(status.st_mode);
    presence.size = static_cast<long long>(status.st_size);
    presence.device = static_cast<unsigned long long>(status.st_dev);
    presence.inode = static_cast<unsigned long long>(status.st_ino);
  }
  return presence;
}

// Each row's square from `from` to `to`, kept in `squares` where asked,
// handed to `take`; returns how many differ.
template <class Take>
std::size_t sumRows(const SquaredDifferences& sum, const double* compared, double* squares, std::size_t from,
                    std::size_t to, Take&& take) {
  std::size_t differing = 0;
  const auto each = [&](auto keepsSquares) {
    for (std::size_t i = from; i < to; ++i) {
      const double difference = sum.scaledDifference(i + 1, compared[i]);
      const double square = difference * difference;
      differing += difference != 0 ? 1 : 0;
      if constexpr (decltype(keepsSquares)::value) squares[i] = square;
      take(i, square);
    }
  };
  if (squares != nullptr) {
    each(std::true_type{});
  } else {
    each(std::false_type{});
  }
  return differing;
}

// compare()'s sum where the list is short: the `keep` rows that add most
// kept in a heap, the worst on top, so a better one replaces it. Returns
// how many rows differ. Apart from compare(), so that its loop has the
// registers to itself.
[[gnu::noinline]] std::size_t selectByHeap(const SquaredDifferences& sum, const double* compared, double* squares,
                                           std::size_t keep, std::size_t comparedRows,
                                           std::vector<Contribution>& kept) {
  // Through a lambda, so that the order is inlined into the heap.
  const auto order = [](const Contribution& a, const Contribution& b) { return addsMore(a, b); };
  std::size_t differing = sumRows(sum, compared, squares, 0, keep, [&](std::size_t i, double square) {
    kept.push_back(contributionOf(square, i));
    std::push_heap(kept.begin(), kept.end(), order);
  });
  // Once the heap is full, a row replaces its worst only with a larger
  // key: a row's index is above every kept one, so an equal key never
  // adds more.
  std::uint64_t worst = kept.empty() ? 0 : kept.front().key;
  differing += sumRows(sum, compared, squares, keep, comparedRows, [&](std::size_t i, double square) {
    const Contribution candidate = contributionOf(square, i);
    if (candidate.key <= worst) return;
    std::pop_heap(kept.begin(), kept.end(), order);
    kept.back() = candidate;
    std::push_heap(kept.begin(), kept.end(), order);
    worst = kept.front().key;
  });
  return differing;
}

// compare()'s list where it is long: `counts` holds the rows by the top
// kCountBits bits of their keys; the rows of the highest counts are
// placed by their counts' order (the highest first, rows in order within
// each), so that only the rows of one count are ever sorted together, and
// the first `keep` (at most `top`) listed. Apart from compare(), whose sum
// keeps its registers.
[[gnu::noinline]] void listByCounts(const std::vector<std::uint32_t>& counts, std::size_t keep, std::size_t top,
                                    const SquaredDifferences& sum, const double* compared, std::size_t comparedRows,
                                    Explanation& facts) {
  constexpr unsigned kCountShift = 64 - kCountBits;
  const auto order = [](const Contribution& a, const Contribution& b) { return addsMore(a, b); };
  std::size_t lowest = counts.size(), taken = 0;
  while (lowest > 0 && taken < keep) taken += counts[--lowest];
  std::vector<std::uint32_t> starts(counts.size() - lowest + 1, 0);
  for (std::size_t b = counts.size(); b-- > lowest;) {
    const std::size_t n = counts.size() - 1 - b;
    starts[n + 1] = starts[n] + counts[b];
  }
  // Every place is written before it is read: no value made first.
  const std::unique_ptr<Contribution[]> room(new Contribution[taken]);
  adviseLargePages(room.get(), taken * sizeof(Contribution));
  Contribution* const kept = room.get();
  std::vector<std::uint32_t> next(starts.begin(), starts.end() - 1);
  const std::size_t highest = counts.size() - 1;
  for (std::size_t i = 0; i < comparedRows; ++i) {
    const Contribution candidate = contributionOf(sum.squaredDifference(i + 1, compared[i]), i);
    const std::size_t count = candidate.key >> kCountShift;
    if (count >= lowest) kept[next[highest - count]++] = candidate;
  }
  // A count's rows are ordered by bytes where they are many and the list
  // takes most of them; the last count a long list reaches only in part
  // is cut first. The list's indices are written in its place.
  constexpr std::size_t kFewToOrder = 256;
  std::vector<Contribution> spare;
  std::uint32_t* const out = facts.top.rowsToFill(taken);
  for (std::size_t n = 0; n + 1 < starts.size() && starts[n] < keep; ++n) {
    const auto first = kept + static_cast<std::ptrdiff_t>(starts[n]);
    auto last = kept + static_cast<std::ptrdiff_t>(starts[n + 1]);
    const std::size_t rows = starts[n + 1] - starts[n];
    if (std::is_sorted(first, last, order)) {
      // As they stand.
    } else if (rows >= kFewToOrder && rows <= 2 * (keep - starts[n])) {
      orderCount(&*first, &*first + rows, spare, out + starts[n]);
      continue;
    } else if (starts[n + 1] > keep) {
      // Only the first of the last count's rows are kept.
      last = kept + static_cast<std::ptrdiff_t>(keep);
      std::nth_element(first, last, kept + static_cast<std::ptrdiff_t>(starts[n + 1]), order);
      std::sort(first, last, order);
    } else {
      std::sort(first, last, order);
    }
    std::uint32_t* to = out + starts[n];
    for (auto c = first; c != last; ++c) *to++ = static_cast<std::uint32_t>(c->index);
  }
  if (taken != 0) facts.largest = facts.top.factsOf(out[0]);
  facts.top.keep(std::min(keep, top));
}

// The very sum velmora makes, `total`, and its result line.
void compare(const Request& request, const Workspace& w, double total, Explanation& facts) {
  const std::size_t comparedRows = facts.files[1].record.rows;
  const std::size_t referenceRows = facts.files[0].record.rows;
  const double* compared = w.column2InFileUnits[1];
  facts.total = total;
  char line[kResultLineLength + 1];
  formatResultLine(facts.total, line);
  facts.resultLine.assign(line, kResultLineLength - 1);
  facts.compared = true;
  facts.rowsCompared = comparedRows;
  TopRows::Columns columns[2];
  for (int f = 0; f < 2; ++f) {
    const LoadRecord& r = facts.files[f].record;
    columns[f] = {r.rowPlaces, {r.column1, r.column2InFileUnits, r.column3}, r.rows, r.firstRowLine, r.rowsOfOneLine()};
  }
  facts.top.start(columns, w.reference.values(), total);

  // The rows kept: never more than the rows, whatever --top asks. A few
  // are kept in a heap, the worst on top, so a better one replaces it; a
  // long list counts the rows by the top sixteen bits of their keys, and
  // after the sum takes the rows of the highest counts that hold enough of
  // them and selects the first ones among those.
  constexpr std::size_t kFewRows = 4096;
  const std::size_t keep = std::min(std::max(request.top, std::size_t{1}), comparedRows);
  const bool selectAfter = keep > std::min(kFewRows, comparedRows / 8);
  constexpr unsigned kCountShift = 64 - kCountBits;
  std::vector<std::uint32_t> counts(selectAfter ? std::size_t{1} << (64 - kCountShift) : 0);
  // Through a lambda, so that the order is inlined into the heap and the sort.
  const auto order = [](const Contribution& a, const Contribution& b) { return addsMore(a, b); };
  std::vector<Contribution> kept;
  kept.reserve(selectAfter ? 0 : keep);
  if (request.keepSquares) facts.squares.resize(comparedRows);
  SquaredDifferences sum;
  sum.reference = w.reference.values();
  // A row differs where its difference is not zero; a NaN one (infinity
  // less infinity) differs too, as it makes the total NaN. The first that
  // does is looked for apart: most pairs differ at once.
  for (std::size_t i = 0; i < comparedRows; ++i) {
    if (sum.scaledDifference(i + 1, compared[i]) != 0) {
      facts.firstDifference = facts.top.factsOf(i);
      break;
    }
  }
  // Each row's square, counted where it differs and kept where asked, then
  // handed to `take`; the count stays in a register, not in `facts`.
  double* const squares = request.keepSquares ? facts.squares.data() : nullptr;
  std::size_t differing = 0;
  if (selectAfter) {
    differing = sumRows(sum, compared, squares, 0, comparedRows,
                        [&](std::size_t i, double square) { ++counts[contributionOf(square, i).key >> kCountShift]; });
  } else {
    differing = selectByHeap(sum, compared, squares, keep, comparedRows, kept);
  }
  facts.rowsDiffering = differing;
  // The rows the reference lacks, and their part of the total, in row order.
  double withoutReference = 0;
  for (std::size_t i = referenceRows; i < comparedRows; ++i) {
    ++facts.rowsWithoutReference;
    withoutReference += sum.squaredDifference(i + 1, compared[i]);
  }
  facts.shareWithoutReference = facts.total == 0 ? 0 : withoutReference / facts.total;
  // A zero total has no largest row, and a list of rows that add nothing
  // says nothing.
  if (facts.total == 0) return;
  if (selectAfter) {
    listByCounts(counts, keep, request.top, sum, compared, comparedRows, facts);
    return;
  }
  std::sort(kept.begin(), kept.end(), order);
  if (!kept.empty()) facts.largest = facts.top.factsOf(kept.front().index);
  facts.top.reserve(std::min(kept.size(), request.top));
  for (std::size_t i = 0; i < kept.size() && i < request.top; ++i) facts.top.add(kept[i].index);
}

// Whether a record, as the reader splits it, reads like a table row: exactly
// three values, all numbers, and nothing else (no null value, slash, repeat
// form or quote).
bool readsLikeTableRow(const RecordShape& shape) {
  return shape.values == kRowItems && shape.numbers == kRowItems && shape.plain;
}

// A header record that reads like a table row, at `line`.
void noteSuspect(FileFacts& file, long long line) {
  if (file.suspectLines.size() < kMaxSuspectLines) file.suspectLines.push_back(line);
  ++file.suspectCount;
}

// What is read again of one file, by the reader's record access at the
// offsets its load gave: the records of the lines in [first, last] (all of
// them counted, the first kMaxRecordLines and the last kept), and, for a
// header, whether they read like rows.
}  // namespace

RecordsAgain::RecordsAgain(const std::string& name) : access_(name) {}

bool RecordsAgain::walk(long long offset, long long first, long long last,
                        const std::function<void(long long, const FetchedRecord&)>& each) {
  FetchedRecord record;
  for (long long line = first; line <= last; ++line) {
    if (!access_.recordAt(offset, record)) return false;
    each(line, record);
    if (record.next < 0) return line == last;
    offset = record.next;
  }
  return true;
}

void RecordsAgain::keep(long long offset, long long first, long long last, RecordsByLine& kept) {
  if (offset < 0 || first <= 0) return;
  // As walk, each record's bytes moved into `kept` rather than copied.
  FetchedRecord record;
  for (long long line = first; line <= last; ++line) {
    if (!access_.recordAt(offset, record)) return;
    const long long next = record.next;
    if (line < first + kMaxRecordLines || line == last) {
      if (record.bytes.size() > kMaxShownRecordBytes) record.bytes.resize(kMaxShownRecordBytes);
      kept[line] = std::move(record.bytes);
    }
    if (next < 0) return;
    offset = next;
  }
}

namespace {

// Appends the record of a row whose statement read lines [first, last] (the
// first kMaxRecordLines of them, joined by a line feed) as kept in
// `records`; a line not kept adds nothing. With `among`, only those lines
// are looked for.
void appendRowRecord(std::string& out, const RecordsByLine& records, long long first, long long last,
                     const std::vector<long long>* among = nullptr) {
  for (long long line = first; line <= last && line < first + kMaxRecordLines; ++line) {
    if (line != first) out += '\n';
    if (among != nullptr && std::find(among->begin(), among->end(), line) == among->end()) continue;
    if (const auto it = records.find(line); it != records.end()) out += it->second;
  }
}

}  // namespace

std::string rowRecord(const Explanation& facts, int f, std::size_t index) {
  const FileFacts& file = facts.files[f];
  const LoadRecord& r = file.record;
  std::string record;
  if (index < r.rows) appendRowRecord(record, file.records, r.firstLine(index), r.lastLine(index));
  return record;
}

namespace {

// What the header passed over, from the records its statements read into
// as the reader read them (the records after the title's line up to the one
// where the header's last statement stopped): their count, and those that
// read like table rows. Nothing of a header that did not end is kept:
// after a stop in it, its records are not all known.
void settleHeaderRecords(FileFacts& file) {
  if (!file.record.headerRead) {
    file.suspectLines.clear();
    file.suspectCount = 0;
    file.headerRecordsSeen = 0;
    file.headerLinesTold = 0;
  }
}

// The rows whose records are shown, of one file (indices from 0), in the
// order they are looked for while the bytes the access may read last: the
// listed ones (largest first), asked of the list rather than copied (a list
// of every row of a million would take 8 MB a file), then `others`.
struct ShownRows {
  const TopRows& listed;
  std::vector<std::size_t> others;
  [[nodiscard]] std::size_t size() const { return listed.size() + others.size(); }
  std::size_t operator[](std::size_t n) const {
    return n < listed.size() ? listed.indexOf(n) : others[n - listed.size()];
  }
};

// The offsets of the records that readRecordsAgain reads of file `f`, the
// rows of `shown` among them: every row up to the one where the access's
// bytes must be spent (each row's first read takes RecordAccess::kFirstRead
// bytes, or the rest of the file where less is left), so that they can be
// read in order of their offsets rather than the list's.
std::vector<long long> offsetsToRead(const Explanation& facts, int f, const ShownRows& shown) {
  const FileFacts& file = facts.files[f];
  const LoadRecord& r = file.record;
  std::vector<long long> offsets;
  if (facts.stop && facts.stop->dataFile == f && facts.stop->line > 0) offsets.push_back(facts.stop->recordOffset);
  if (r.firstMultiLineRow > 0) offsets.push_back(r.firstMultiLine.offset);
  if (r.surplusRowsKept > 0 && r.surplusRows[0].row - 1 < r.rows) {
    offsets.push_back(r.rowOffsets[r.surplusRows[0].row - 1]);
  }
  const long long size = file.presence.size;
  std::unordered_set<std::size_t> taken;
  std::size_t least = 0;  // the fewest bytes the rows taken read
  for (std::size_t n = 0; n < shown.size(); ++n) {
    if (least >= kMaxFetchedBytes) break;
    const std::size_t i = shown[n];
    if (i >= r.rows || !taken.insert(i).second) continue;
    const long long offset = r.rowOffsets[i];
    offsets.push_back(offset);
    constexpr auto kFirstRead = static_cast<long long>(RecordAccess::kFirstRead);
    if (offset >= 0 && offset < size) least += static_cast<std::size_t>(std::min(kFirstRead, size - offset));
  }
  return offsets;
}

// The records the report shows, read again in one pass after the run, each
// file opened once and closed before any finding is made: each listed row's
// records in both files, the rows the relation findings show, the first
// rows read from more than one line or holding more than three values, the
// record a stop names. The values were read by the loader, and the header
// judged as the reader read it, never from these bytes.
void readRecordsAgain(Explanation& facts) {
  // The rows shown (indices from 0), in this order while the bytes the
  // access may read last: the listed ones (largest first), the largest and
  // the first difference, and those of the relation findings.
  ShownRows shown[2] = {{facts.top, {}}, {facts.top, {}}};
  std::vector<RowFacts*> rows;
  if (facts.largest) rows.push_back(&*facts.largest);
  if (facts.firstDifference) rows.push_back(&*facts.firstDifference);
  for (const RowFacts* row : rows) {
    shown[0].others.push_back(row->row - 1);
    shown[1].others.push_back(row->row - 1);
  }
  relationRowsShown(facts, shown[0].others, shown[1].others);
  // Of each file, the listed rows whose records were looked for (the rest
  // came after the access's bytes were spent), and the lines kept for
  // anything but a row shown: past those rows, the only lines to look for.
  std::size_t listedReached[2] = {facts.top.size(), facts.top.size()};
  std::vector<long long> otherLines[2];
  for (int f = 0; f < 2; ++f) {
    FileFacts& file = facts.files[f];
    if (!file.loadStarted || !file.record.opened) continue;
    RecordsAgain again(file.name);
    const LoadRecord& r = file.record;
    again.readAhead(offsetsToRead(facts, f, shown[f]));
    if (facts.stop && facts.stop->dataFile == f && facts.stop->line > 0) {
      again.keep(facts.stop->recordOffset, facts.stop->line, facts.stop->line, file.records);
      otherLines[f].push_back(facts.stop->line);
    }
    for (std::size_t n = 0; n < shown[f].size(); ++n) {
      // Once the access's bytes are spent, no record more is read.
      if (again.spent()) {
        listedReached[f] = std::min(listedReached[f], n);
        break;
      }
      const std::size_t i = shown[f][n];
      if (i >= r.rows || file.records.count(r.firstLine(i)) != 0) continue;
      again.keep(r.rowOffsets[i], r.firstLine(i), r.lastLine(i), file.records);
    }
    if (r.firstMultiLineRow > 0) {
      const RowLines& seen = r.firstMultiLine;
      again.walk(seen.offset, seen.first, seen.last, [&](long long line, const FetchedRecord& record) {
        if (line == seen.first || line == seen.last) file.records[line] = record.bytes.substr(0, kMaxShownRecordBytes);
      });
      otherLines[f].insert(otherLines[f].end(), {seen.first, seen.last});
    }
    if (r.surplusRowsKept > 0) {
      const std::size_t i = r.surplusRows[0].row - 1;
      again.keep(r.rowOffsets[i], r.firstLine(i), r.firstLine(i), file.records);
      otherLines[f].push_back(r.firstLine(i));
    }
  }
  for (int f = 0; f < 2; ++f) {
    for (RowFacts* row : rows) {
      if (row->row - 1 < facts.files[f].record.rows) {
        (f == 0 ? row->referenceRecord : row->comparedRecord) = rowRecord(facts, f, row->row - 1);
      }
    }
  }
  // The listed rows' records, in the list's order. Past the rows whose
  // records were looked for, in a file of rows of one line each with no
  // other line kept, a row has no record: its lines are not asked for.
  std::string records[2];
  const bool nonePast[2] = {otherLines[0].empty() && facts.files[0].record.firstMultiLineRow == 0,
                            otherLines[1].empty() && facts.files[1].record.firstMultiLineRow == 0};
  for (std::size_t k = 0; k < facts.top.size(); ++k) {
    // Past that point in both files no row has a record: the rows after
    // add none (the list says "" for a row it holds no ends of).
    if (k >= listedReached[0] && nonePast[0] && k >= listedReached[1] && nonePast[1]) break;
    for (int f = 0; f < 2; ++f) {
      records[f].clear();
      if (k >= listedReached[f] && nonePast[f]) continue;
      const auto [first, last] = facts.top.linesOf(k, f);
      if (first > 0) {
        appendRowRecord(records[f], facts.files[f].records, first, last,
                        k < listedReached[f] ? nullptr : &otherLines[f]);
      }
    }
    facts.top.addRecords(records[0], records[1]);
  }
}

// Where the second value of a record the reader took whole (RowRecord::Short
// or Numbers) stands, when it ends within the record's first kLook bytes:
// such a record's values are its runs of bytes that are neither blanks nor
// separators (none of its bytes is a control byte or from 0x80 on).
bool secondValueOfWhole(std::string_view record, std::size_t& start, std::size_t& end) {
#if defined(__SSE2__)
  constexpr std::size_t kStep = 16, kLook = 64;
  // A record shorter than a step is looked at in a copy padded with blanks;
  // the last step of a longer one that ends inside a step is loaded ending
  // at the record's end, its bits moved to their places.
  char padded[kStep];
  const char* p = record.data();
  std::size_t n = record.size();
  if (n < kStep) {
    std::memset(padded, ' ', sizeof padded);
    if (n > 0) std::memcpy(padded, p, n);
    p = padded;
    n = kStep;
  }
  const __m128i blankOrBelow = _mm_set1_epi8(0x21), comma = _mm_set1_epi8(','), semicolon = _mm_set1_epi8(';');
  const auto betweenIn = [&](const char* at) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    const __m128i m = _mm_or_si128(_mm_cmplt_epi8(a, blankOrBelow),
                                   _mm_or_si128(_mm_cmpeq_epi8(a, comma), _mm_cmpeq_epi8(a, semicolon)));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(m));
  };
  std::uint64_t between = 0;  // blanks and separators (and what is past the record), one bit a byte
  for (std::size_t k = 0; k < kLook; k += kStep) {
    std::uint32_t m = 0xFFFF;
    if (k + kStep <= n) {
      m = betweenIn(p + k);
    } else if (k < n) {
      m = ((betweenIn(p + n - kStep) >> (k + kStep - n)) | (0xFFFFu << (n - k))) & 0xFFFF;
    }
    between |= static_cast<std::uint64_t>(m) << k;
  }
  const std::uint64_t value = ~between;
  const std::uint64_t starts = value & ~(value << 1), lasts = value & ~(value >> 1);
  const std::uint64_t secondStart = starts & (starts - 1), secondLast = lasts & (lasts - 1);
  if (secondStart == 0 || secondLast == 0) return false;
  start = static_cast<std::size_t>(__builtin_ctzll(secondStart));
  end = static_cast<std::size_t>(__builtin_ctzll(secondLast)) + 1;
  return end < kLook || record.size() <= kLook;  // else it may go on
#else
  (void)record;
  (void)start;
  (void)end;
  return false;
#endif
}

// How column 2 of a row whose first record is `record` is written; unknown
// where the record was not at hand, or does not hold the value (a row read
// from more lines), or the value is not a plain number. Only the record's
// first kWrittenLook bytes are looked at, so a row of many values costs no
// more than a short one; a value that reaches past them is not known. Of a
// record the reader took whole (`known`), only the value's own bytes are
// described: where they stand when the record goes on far enough past them
// (the blank or separator after the value ends it), else in a copy.
WrittenForm writtenForm(std::string_view record, RowRecord known) {
  constexpr std::size_t kWrittenLook = 256;
  // Only the fields asked for are read of the value described, never the
  // whole of it copied.
  const auto formOf = [](const WrittenValue& value) {
    WrittenForm form;
    if (value.kind != WrittenKind::Number || value.word) return form;
    auto capped = [](std::uint32_t n) {
      return static_cast<std::uint8_t>(std::min<std::uint32_t>(n, WrittenForm::kWrittenCap));
    };
    form.decimals = capped(value.decimals());
    form.significant = capped(value.significantDigits);
    return form;
  };
  std::size_t start = 0, end = 0;
  if (known != RowRecord::Any && secondValueOfWhole(record, start, end)) {
    if (known == RowRecord::Short) return formOf(writtenShortValue(record.substr(start, end - start)));
    if (record.size() >= end + kWrittenValuePadding) {
      return formOf(writtenValuePadded(record.data() + start, record.data() + end));
    }
    return formOf(writtenValueAlone(record.substr(start, end - start)));
  }
  const std::string_view looked = record.substr(0, kWrittenLook);
  WrittenValue value;
  if (looked.empty() || !writtenItem(looked, 2, value)) return WrittenForm{};
  if (value.end >= looked.size() && looked.size() < record.size()) return WrittenForm{};
  return formOf(value);
}

// A record as before a load, its storage the workspace's columns of file
// `f`, set here once for the load.
void startRecord(LoadRecord& record, Workspace& workspace, int f) {
  record = LoadRecord{};
  std::memset(record.title, ' ', sizeof record.title);
  std::memset(record.rateLabel, ' ', sizeof record.rateLabel);
  record.rowPlaces = workspace.rowPlaces[f];
  record.rowOffsets = workspace.rowOffsets[f];
  record.column2InFileUnits = workspace.column2InFileUnits[f];
  record.column1 = workspace.column1[f];
  record.column3 = workspace.column3[f];
  record.column2Written = f == 1 ? workspace.comparedWritten : nullptr;
  record.causes = workspace.causes[f];
}

// The causes of a row's record, judged from the bytes the reader holds as
// rowRecord shows them (its first kMaxRecordLines lines, each cut after
// kMaxShownRecordBytes, joined by line feeds); 0 (not judged) where the
// reader no longer held them whole.
std::uint8_t rowCauses(const RowSeen& seen, std::vector<CauseWhere>& where, std::string& joined) {
  const auto index = static_cast<std::uint32_t>(seen.row - 1);
  if (seen.record.empty()) return 0;
  if (seen.lines->first == seen.lines->last) {
    return judgeRecordCauses(seen.record.substr(0, kMaxShownRecordBytes), true, index, where, seen.lines->record);
  }
  if (!seen.laterLines) return 0;
  joined.assign(seen.record.substr(0, kMaxShownRecordBytes));
  std::string_view later = *seen.laterLines;
  for (long long line = 1; line < kMaxRecordLines && line <= seen.lines->last - seen.lines->first; ++line) {
    const std::size_t lineFeed = later.find('\n');
    joined += '\n';
    joined += later.substr(0, std::min(lineFeed, kMaxShownRecordBytes));
    later = lineFeed == std::string_view::npos ? std::string_view() : later.substr(lineFeed + 1);
  }
  return judgeRecordCauses(joined, true, index, where);
}

// What explain notes of the one run, as it goes: the control file's name
// statements, and per data file what its load saw. It opens for reading
// only, predicting (and stopping as velmora stops) where velmora's open would
// not give a readable file.
class Observer : public NoRunEvents {
 public:
  static constexpr bool kRowDetail = true;
  static constexpr bool kHeaderRecords = true;

  Observer(Workspace& workspace, Explanation& facts) : workspace_(workspace), facts_(facts) {}

  // The run explain makes: files opened for reading only, the pair named
  // in the request or the control file, no result line.
  static RunPolicy policyFor(const Request& request, Workspace& workspace) {
    RunPolicy policy;
    policy.openMode = OpenMode::ReadOnly;
    policy.namesGiven = !request.fromControlFile;
    policy.names[0] = request.referenceName;
    policy.names[1] = request.comparedName;
    policy.looksPastLimit = true;
    policy.writesResultLine = false;
    policy.referenceColumn = &workspace.reference;
    return policy;
  }

  void opening(std::string_view name, int channel, const OpenStatements& statements) {
    predictOpen(name, channel, statements, wouldCreate, linkTarget);
  }

  // So far: a stop in it leaves it read, its line unknown.
  void nameStarting(int f) { facts_.control.names[f].read = true; }
  void nameRead(int f, const NameStatementSeen& seen) {
    ControlStatementFacts& name = facts_.control.names[f];
    name.opener = seen.opener;
    name.line = seen.line;
    name.recordOffset = seen.recordOffset;
    name.openerOffset = seen.openerOffset;
    name.name = std::string(seen.openName);
    name.endedBySlash = seen.endedBySlash;
    // The record as the reader read it: the control file is read once.
    name.recordKnown = !seen.record.empty();
    name.record = std::string(seen.record.substr(0, kMaxShownRecordBytes));
  }

  void loadStarting(int f, std::string_view name) {
    current = f;
    FileFacts& file = facts_.files[f];
    file.named = true;
    file.name = std::string(fileNameOf(name));
    file.presence = presenceOf(file.name);
    file.loadStarted = true;
    startRecord(file.record, workspace_, f);
    file.causeWhere.clear();
  }

  void opened(int f) { record(f).opened = true; }

  void title(int f, const HeaderStatementSeen& seen, const FormatCodeSeen& code) {
    LoadRecord& r = record(f);
    r.titleRead = true;
    std::memcpy(r.title, seen.text.data(), std::min(seen.text.size(), kLineWidth));
    r.titleLength = std::min(seen.valueLength, kLineWidth);
    r.titleLine = seen.firstLine;
    FileFacts& file = facts_.files[f];
    file.headerRecordsSeen = recordsAfter(file.headerLinesTold, r.titleLine);
    r.titleStored = seen.storedText;
    r.titleOpener = seen.opener;
    r.code = code;
    r.layout = code.layout;
  }

  void headerStatement(int f, const HeaderStatementSeen& seen) {
    LoadRecord& r = record(f);
    noteStatement(r, seen);
    switch (seen.target) {
      case HeaderNumber::First:
        r.fileUnits.first = seen.number;
        r.headerNumberRead[0] = true;
        break;
      case HeaderNumber::Second:
        r.fileUnits.second = seen.number;
        r.headerNumberRead[1] = true;
        break;
      case HeaderNumber::Third:
        r.fileUnits.third = seen.number;
        r.headerNumberRead[2] = true;
        break;
      case HeaderNumber::Rate:
        r.fileUnits.rate = seen.number;
        r.headerNumberRead[3] = true;
        std::memcpy(r.rateLabel, seen.text.data(), std::min(seen.text.size(), kLabelWidth));
        r.rateLabelLength = std::min(seen.valueLength, kLabelWidth);
        r.rateLine = seen.firstLine;
        break;
      case HeaderNumber::RateCandidate:
      case HeaderNumber::None:
        break;
    }
  }

  // Each record the header passed over after the title's line, as the
  // reader read it: counted, and judged whether it reads like a table row (a
  // record longer than the reader describes never does).
  // The records after the title's first line are the header's to judge.
  // Records come in order from line 1; those the title statement read may
  // come before its event, and are counted once it comes: the records
  // before its first line hold no value, and its own record, if told early,
  // is one its value spans from a quote, so neither reads like a row.
  void headerRecord(int f, const HeaderRecordSeen& seen) {
    const LoadRecord& r = record(f);
    FileFacts& file = facts_.files[f];
    file.headerLinesTold = seen.line;
    if (r.titleRead) file.headerRecordsSeen = recordsAfter(seen.line, r.titleLine);
    if (r.titleRead && seen.line <= r.titleLine) return;
    if (!seen.cut && readsLikeTableRow(seen.shape)) noteSuspect(file, seen.line);
  }
  static std::size_t recordsAfter(long long told, long long line) {
    return told > line ? static_cast<std::size_t>(told - line) : 0;
  }

  void headerEnd(int f) {
    orderLastStatements(record(f));
    record(f).headerRead = true;
  }

  // The findings tell how many values follow the third in the first row
  // read from one record that holds more, and in the first read from more
  // records; of the rows after those, only that some follow.
  [[nodiscard]] IgnoredCounting ignoredCounting(int f) const {
    const LoadRecord& r = facts_.files[f].record;
    return {r.surplusRowsKept == 0, r.firstMultiLineRow == 0};
  }

  // In the load's row loop itself, which calls it for every row.
  // A row's offset and three values, stored at `index` of the columns.
  [[gnu::always_inline]] static void storeValues(long long* offsets, double* column1, double* column2, double* column3,
                                                 std::size_t index, const double* values, long long offset) {
    offsets[index] = offset;
    column1[index] = values[0];
    column2[index] = values[1];
    column3[index] = values[2];
  }
  // Row `row` (from 1), of one line, held values after its third.
  static void noteSurplus(LoadRecord& r, std::size_t row, const RowLines& lines) {
    if (r.surplusRowsKept < LoadRecord::kMaxSurplusRows) {
      r.surplusRows[r.surplusRowsKept++] = {row, lines.first, lines.ignored};
    }
    ++r.surplusRowCount;
  }

  [[gnu::always_inline]] void row(int f, const RowSeen& seen) {
    LoadRecord& r = record(f);
    const std::size_t index = seen.row - 1;
    const RowLines& lines = *seen.lines;
    workspace_.prepare(f, seen.row);
    // Each column's place read once: the stores of bytes below may alias
    // anything, so they come last.
    long long* const offsets = r.rowOffsets;
    double* const column1 = r.column1;
    double* const column2 = r.column2InFileUnits;
    double* const column3 = r.column3;
    WrittenForm* const written = r.column2Written;
    std::uint8_t* const causes = r.causes;
    if (lines.first == r.nextPlainLine && lines.last == lines.first) {
      // One line more of the rows whose places are told, not stored.
      r.nextPlainLine = lines.first + 1;
    } else {
      storePlace(r, index, lines);
    }
    storeValues(offsets, column1, column2, column3, index, seen.values, lines.offset);
    r.slashRows += lines.endedBySlash ? 1 : 0;
    // (The workspace learns the rows stored when the explanation ends.)
    r.rows = seen.row;
    if (lines.first != lines.last) {
      if (r.firstMultiLineRow == 0) {
        r.firstMultiLineRow = seen.row;
        r.firstMultiLine = lines;
        // What its first record held, as the reader split it.
        if (!seen.record.empty()) facts_.files[f].multiLineHeld = describeRecord(seen.record).values;
      }
    } else if (lines.ignored > 0) {
      noteSurplus(r, seen.row, lines);
    }
    if (written != nullptr) {
      // Of a short record, without a call.
      WrittenForm form;
      std::uint32_t decimals = 0, significant = 0;
      if ((lines.told & RowLines::kToldSecondForm) != 0) {
        // Told by the reader as it read the value.
        form.decimals = lines.secondDecimals;
        form.significant = lines.secondSignificant;
      } else if (lines.record == RowRecord::Short && writtenShortSecond(seen.record, decimals, significant)) {
        form.decimals = static_cast<std::uint8_t>(decimals);
        form.significant = static_cast<std::uint8_t>(significant);
      } else {
        form = writtenForm(seen.record, lines.record);
      }
      written[index] = form;
    }
    // A record held whole that the quick look finds nothing in (a short
    // one holds nothing) is judged without a call, as judgeRecordCauses
    // would judge it.
    const bool bare = lines.first == lines.last && !seen.record.empty() &&
                      (lines.record == RowRecord::Short ||
                       (lines.record == RowRecord::Numbers &&
                        ((lines.told & RowLines::kToldUsualExponents) != 0 || !numbersMayHoldCause(seen.record.substr(0, kMaxShownRecordBytes)))));
    causes[index] = bare ? std::uint8_t{kCausesJudged} : rowCauses(seen, facts_.files[f].causeWhere, joined_);
  }

  // A row of one line whose record row() would look at only to see that it
  // is held: a short record, or one of numbers written in the usual exponent
  // form, with column 2's written form told by the read.
  static bool recordNeeded(const RowLines& lines) {
    if ((lines.told & RowLines::kToldShortOneLine) != 0) return false;
    return (lines.told & RowLines::kToldSecondForm) == 0 || lines.endedBySlash ||
           !(lines.record == RowRecord::Short ||
             (lines.record == RowRecord::Numbers && (lines.told & RowLines::kToldUsualExponents) != 0));
  }

  // Such rows, `count` from row `firstRow`, their records held whole: what
  // row() makes of each, with the places of rows on consecutive lines told
  // once for the run.
  void rowsWithoutRecords(int f, std::size_t firstRow, const double* values, const RowLines* lines,
                          std::size_t count) {
    const bool consecutive = lines[count - 1].first - lines[0].first == static_cast<long long>(count - 1);
    storeRows(
        f, firstRow - 1, count, values, consecutive, lines[0].first,
        [lines](std::size_t k) -> const RowLines& { return lines[k]; },
        [lines](std::size_t k) { return lines[k].offset; },
        [lines](std::size_t k) { return WrittenForm{.decimals = lines[k].secondDecimals, .significant = lines[k].secondSignificant}; },
        [this, lines](LoadRecord& r, std::size_t index, std::size_t k) {
          if (lines[k].ignored > 0) [[unlikely]] noteSurplus(r, index + 1, lines[k]);
        });
  }

  // Rows told as a run (short records, or records of numbers in the usual
  // exponent form read by their pattern): what rowsWithoutRecords makes of
  // them, their lines consecutive from the run's first and none with values
  // after its third.
  void rowsOfToldRun(int f, std::size_t firstRow, const double* values, const ToldRunRows& run) {
    // The run's offsets, written forms and judged causes are alike for
    // every row and laid out as the columns hold them: each copied whole,
    // only the values a row at a time.
    static_assert(sizeof(WrittenForm) == 2 && offsetof(WrittenForm, decimals) == 0 &&
                      offsetof(WrittenForm, significant) == 1,
                  "a run's written forms are copied as the column holds them");
    const std::size_t from = firstRow - 1;
    const std::size_t count = run.rows;
    LoadRecord& r = record(f);
    placeRows(r, f, from, count, true, run.firstLine, [&run](std::size_t k) { return toldRunLines(run, k); });
    double* const column1 = r.column1 + from;
    double* const column2 = r.column2InFileUnits + from;
    double* const column3 = r.column3 + from;
    std::size_t k = 0;
#if defined(__SSE2__)
    // Two rows at a time: their six values in three loads, each column's
    // two taken from two of them.
    for (; k + 2 <= count; k += 2) {
      const __m128d first = _mm_loadu_pd(values + 3 * k);       // row k's first and second
      const __m128d middle = _mm_loadu_pd(values + 3 * k + 2);  // row k's third, the next row's first
      const __m128d last = _mm_loadu_pd(values + 3 * k + 4);    // the next row's second and third
      _mm_storeu_pd(column1 + k, _mm_shuffle_pd(first, middle, 0b10));
      _mm_storeu_pd(column2 + k, _mm_shuffle_pd(first, last, 0b01));
      _mm_storeu_pd(column3 + k, _mm_shuffle_pd(middle, last, 0b10));
    }
#endif
    for (; k < count; ++k) {
      column1[k] = values[3 * k];
      column2[k] = values[3 * k + 1];
      column3[k] = values[3 * k + 2];
    }
    std::memcpy(r.rowOffsets + from, run.offsets, count * sizeof(long long));
    std::memset(r.causes + from, kCausesJudged, count);
    if (WrittenForm* const written = r.column2Written; written != nullptr) {
      std::memcpy(written + from, run.forms, 2 * count);
    }
    r.rows = from + count;
  }

  void end(int f, const LoadEnd& end) {
    LoadRecord& r = record(f);
    r.cutShortRowLine = end.cutShortLine;
    r.rowsPastLimit = end.rowsPastLimit;
  }

  void closed(int f) {
    record(f).closed = true;
    facts_.files[f].loaded = true;
    current = -1;
  }

  void result(double total) { total_ = total; }
  [[nodiscard]] double total() const { return total_; }

  int current = -1;  // the data file being handled; -1: none
  bool wouldCreate = false;
  std::optional<std::string> linkTarget;

 private:
  LoadRecord& record(int f) { return facts_.files[f].record; }

  // The places of `count` rows from index `from`, of one line each: told
  // once where their lines go on from the last row's. The workspace is made
  // ready for them first.
  template <class LinesOf>
  [[gnu::always_inline]] void placeRows(LoadRecord& r, int f, std::size_t from, std::size_t count, bool consecutive,
                                        long long firstLine, LinesOf linesOf) {
    workspace_.prepare(f, from + count);
    if (consecutive && firstLine == r.nextPlainLine) {
      r.nextPlainLine = firstLine + static_cast<long long>(count);
    } else {
      for (std::size_t k = 0; k < count; ++k) {
        const RowLines& lines = linesOf(k);
        if (lines.first == r.nextPlainLine) {
          r.nextPlainLine = lines.first + 1;
        } else {
          storePlace(r, from + k, lines);
        }
      }
    }
  }

  // `count` rows from index `from`, of one line each, their records held
  // whole and judged: their places (told once where their lines go on from
  // the last row's), values, offsets and column 2's written forms where they
  // are kept, each row's fields in one pass over the rows; `after` notes
  // what else a row carries.
  template <class LinesOf, class OffsetOf, class FormOf, class After>
  [[gnu::always_inline]] void storeRows(int f, std::size_t from, std::size_t count, const double* values,
                                         bool consecutive, long long firstLine, LinesOf linesOf, OffsetOf offsetOf,
                                         FormOf formOf, After after) {
    LoadRecord& r = record(f);
    placeRows(r, f, from, count, consecutive, firstLine, linesOf);
    long long* const offsets = r.rowOffsets + from;
    double* const column1 = r.column1 + from;
    double* const column2 = r.column2InFileUnits + from;
    double* const column3 = r.column3 + from;
    std::uint8_t* const causes = r.causes + from;
    auto store = [&]<bool kWritten>(WrittenForm* written) __attribute__((always_inline)) {
      for (std::size_t k = 0; k < count; ++k) {
        storeValues(offsets, column1, column2, column3, k, values + 3 * k, offsetOf(k));
        causes[k] = kCausesJudged;
        if constexpr (kWritten) written[k] = formOf(k);
        after(r, from + k, k);
      }
    };
    if (WrittenForm* const written = r.column2Written; written != nullptr) {
      store.template operator()<true>(written + from);
    } else {
      store.template operator()<false>(nullptr);
    }
    r.rows = from + count;
  }

  // A row's place where it does not lengthen the rows of one line each: the
  // first row starts them; any other ends them, its place and those after
  // it stored.
  [[gnu::noinline]] void storePlace(LoadRecord& r, std::size_t index, const RowLines& lines) {
    if (index == 0 && lines.first == lines.last && r.nextPlainLine == 0) {
      r.firstRowLine = lines.first;
      r.nextPlainLine = lines.first + 1;
      return;
    }
    if (!r.placesStored) {
      r.placesStored = true;
      r.plainRows = index;
      r.nextPlainLine = -1;
    }
    const auto span = static_cast<std::uint64_t>(lines.last - lines.first);
    r.rowPlaces[index] = static_cast<std::uint64_t>(lines.first) << LoadRecord::kSpanBits | std::min(span, LoadRecord::kSpanMask);
  }

  // Where a header statement started: the first ones in order, then the
  // last ones in a ring (put in order at the header's end).
  static void noteStatement(LoadRecord& r, const HeaderStatementSeen& seen) {
    constexpr std::size_t kFirst = LoadRecord::kMaxHeaderStatements - LoadRecord::kLastHeaderStatements;
    std::size_t slot = r.headerStatementCount;
    if (slot >= kFirst) slot = kFirst + (slot - kFirst) % LoadRecord::kLastHeaderStatements;
    r.headerStatements[slot] = {seen.statement, seen.kind, seen.firstLine};
    ++r.headerStatementCount;
    r.headerStatementsKept = std::min(r.headerStatementCount, LoadRecord::kMaxHeaderStatements);
  }

  // The ring of the last statements, oldest first.
  static void orderLastStatements(LoadRecord& r) {
    constexpr std::size_t kFirst = LoadRecord::kMaxHeaderStatements - LoadRecord::kLastHeaderStatements;
    if (r.headerStatementCount <= LoadRecord::kMaxHeaderStatements) return;
    const std::size_t oldest = (r.headerStatementCount - kFirst) % LoadRecord::kLastHeaderStatements;
    std::rotate(r.headerStatements + kFirst, r.headerStatements + kFirst + oldest,
                r.headerStatements + LoadRecord::kMaxHeaderStatements);
  }

  Workspace& workspace_;
  Explanation& facts_;
  double total_ = 0;
  std::string joined_;  // a row's lines, joined to be judged
};

}  // namespace

namespace {

// Rows of a column made present at first, in ordinary pages: a short table
// costs no more. The pieces after it double to kLargestPiece.
constexpr std::size_t kFirstPiece = std::size_t{1} << 13, kLargestPiece = std::size_t{1} << 16;
constexpr std::size_t kLargePage = std::size_t{2} << 20;

std::size_t roundUp(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// Places a column of kMaxRows entries of `size` bytes at `slot` (a large
// page's boundary) so that its first piece fills the end of the slot's first
// large page and everything after it starts on the next: only that part is
// asked for in large pages. A long table then costs a page fault every 2 MiB
// rather than every 4 KiB, and a short one no more memory than its first
// piece. Only advice; where it is not taken, nothing changes. Returns the
// column; `slot` moves to the large page after it.
std::uint8_t* placeColumn(std::uint8_t*& slot, std::size_t size) {
  const std::size_t head = kFirstPiece * size;
  std::uint8_t* column = slot + kLargePage - head;
  std::uint8_t* const rest = slot + kLargePage;
  slot += roundUp(kLargePage - head + kMaxRows * size, kLargePage);
  if (slot > rest) ::madvise(rest, static_cast<std::size_t>(slot - rest), MADV_HUGEPAGE);
  return column;
}

std::size_t slotsFor(std::size_t size) { return roundUp(kLargePage - kFirstPiece * size + kMaxRows * size, kLargePage); }

// Makes the pages of a column's entries [from, to) present for writing.
bool makePresent(void* column, std::size_t size, std::size_t from, std::size_t to, std::size_t page) {
#if defined(MADV_POPULATE_WRITE)
  const auto start = reinterpret_cast<std::uintptr_t>(column);
  // Whole pages only; the first may be partly present already.
  const std::uintptr_t first = (start + from * size) / page * page;
  const std::uintptr_t last = start + to * size;
  return ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) == 0;
#else
  (void)column, (void)size, (void)from, (void)to, (void)page;
  return false;
#endif
}

}  // namespace

Workspace::Workspace() {
  // One zero-filled anonymous mapping, a page costing nothing until rows are
  // stored in it; its columns placed on large-page boundaries.
  static_assert(sizeof(std::uint64_t) == sizeof(double) && sizeof(long long) == sizeof(double));
  bytes_ = kLargePage + 2 * (5 * slotsFor(sizeof(double)) + slotsFor(1)) + slotsFor(sizeof(WrittenForm));
  storage_ = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (storage_ == MAP_FAILED) throw std::bad_alloc();
  auto* slot = reinterpret_cast<std::uint8_t*>(roundUp(reinterpret_cast<std::uintptr_t>(storage_), kLargePage));
  for (int f = 0; f < 2; ++f) {
    rowPlaces[f] = reinterpret_cast<std::uint64_t*>(placeColumn(slot, sizeof(std::uint64_t)));
    rowOffsets[f] = reinterpret_cast<long long*>(placeColumn(slot, sizeof(long long)));
    column2InFileUnits[f] = reinterpret_cast<double*>(placeColumn(slot, sizeof(double)));
    column1[f] = reinterpret_cast<double*>(placeColumn(slot, sizeof(double)));
    column3[f] = reinterpret_cast<double*>(placeColumn(slot, sizeof(double)));
    causes[f] = placeColumn(slot, 1);
  }
  comparedWritten = reinterpret_cast<WrittenForm*>(placeColumn(slot, sizeof(WrittenForm)));
}

Workspace::~Workspace() { ::munmap(storage_, bytes_); }

void Workspace::prepareMore(int f, std::size_t rows) {
  // Pieces that double from 8,192 rows to 65,536 (64 KiB to 512 KiB of a
  // column of doubles): a long table pays a few dozen calls a column, a short
  // one little more than its rows.
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t from = prepared_[f];
  const std::size_t to = std::min(kMaxRows, std::max(rows, from + std::clamp(from, kFirstPiece, kLargestPiece)));
  prepared_[f] = to;
  bool present = true;
  for (double* column : {column1[f], column2InFileUnits[f], column3[f]}) {
    present = present && makePresent(column, sizeof(double), from, to, page);
  }
  // The places' column past its first piece only once a load stores a
  // place there: rows of one line each (most tables) store none.
  present = present && (from > 0 || makePresent(rowPlaces[f], sizeof(std::uint64_t), from, to, page)) &&
            makePresent(rowOffsets[f], sizeof(long long), from, to, page) &&
            makePresent(causes[f], 1, from, to, page) &&
            (f == 0 || makePresent(comparedWritten, sizeof(WrittenForm), from, to, page));
  // An older kernel, or one short of memory, declines: the stores then fault
  // the pages in one at a time, and the kernel is not asked again.
  if (!present) prepared_[f] = kMaxRows;
}

void explainPair(const Request& request, Workspace& workspace, Explanation& facts) {
  // The reference column is zero beyond the rows of the pair it holds.
  workspace.reference.clear(workspace.used[0]);
  workspace.used[0] = workspace.used[1] = 0;
  const StopHandlerScope handler(throwStop);
  if (request.fromControlFile) {
    facts.control.used = true;
    facts.control.presence = presenceOf(kControlFileName);
  } else {
    // Both names are known before anything is read.
    for (int f = 0; f < 2; ++f) {
      FileFacts& file = facts.files[f];
      file.named = true;
      file.name = std::string(fileNameOf(f == 0 ? request.referenceName : request.comparedName));
      file.presence = presenceOf(file.name);
    }
  }
  Observer observer(workspace, facts);
  // The reference column's positions the run may have stored, so that the
  // next explanation in this workspace zeroes them: each row the load told
  // of, and the one it may have stored before a failure in its event.
  struct NoteUsed {
    Workspace& workspace;
    const Explanation& facts;
    ~NoteUsed() {
      for (int f = 0; f < 2; ++f) {
        const std::size_t rows = facts.files[f].record.rows;
        workspace.used[f] = facts.files[f].loadStarted ? std::min(kMaxRows, rows + 1) : 0;
      }
    }
  } noteUsed{workspace, facts};
  try {
    runComparison(Observer::policyFor(request, workspace), observer);
    compare(request, workspace, observer.total(), facts);
  } catch (const Stopped& stopped) {
    // Memory velmora-explain could not get is its own failure, not velmora's:
    // velmora needs less, and would not stop there.
    if (stopped.facts.kind == Failure::OutOfMemory) throw std::bad_alloc();
    const int current = observer.current;
    facts.stop = stopped.facts;
    facts.stop->dataFile = stopped.facts.channel == kControlChannel ? -1 : current;
    facts.stop->wouldCreate = observer.wouldCreate;
    facts.stop->linkTarget = observer.linkTarget;
  }
  for (FileFacts& file : facts.files) settleHeaderRecords(file);
  searchRelationsOf(facts);
  readRecordsAgain(facts);
  facts.failAbove = request.failAbove;
  addFindings(facts);
  if (request.keepSquares && facts.compared && !facts.findings.empty() && facts.findings.front().relation) {
    const Relation& relation = *facts.findings.front().relation;
    facts.residualSquares = residualSquares(relation, facts.squares.size());
    facts.residualTotal = roughTotal(relation.residual);
  }
}

}  // namespace velmora::explain
