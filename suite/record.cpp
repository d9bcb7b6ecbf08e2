// The record a child sends its parent over the pipe. Each struct's fields
// are listed once (fieldsOf), and the writer and the reader both walk that
// list: a field added there is sent and read back, in the same place.
// On the wire: a mark, then each field (a number as 8 bytes, a string as its
// length and its bytes, a list as its length and its items), then the mark
// again.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "parts.h"

namespace velmora::suite {

namespace {

template <class Visit, class Row>
void fieldsOf(Visit& visit, Row& row)
  requires std::is_same_v<std::remove_const_t<Row>, TopRow>
{
  visit(row.row); visit(row.referenceLine); visit(row.comparedLine); visit(row.referenceValue);
  visit(row.comparedValue); visit(row.scaledDifference); visit(row.square); visit(row.share);
  visit(row.referenceText); visit(row.comparedText); visit(row.referenceValues); visit(row.comparedValues);
}

template <class Visit, class File>
void fieldsOf(Visit& visit, File& file)
  requires std::is_same_v<std::remove_const_t<File>, CaseFile>
{
  visit(file.role); visit(file.name); visit(file.layout); visit(file.formatCode); visit(file.title);
  visit(file.header); visit(file.table); visit(file.rows);
}

template <class Visit, class Finding>
void fieldsOf(Visit& visit, Finding& finding)
  requires std::is_same_v<std::remove_const_t<Finding>, CaseFinding>
{
  visit(finding.kind); visit(finding.text); visit(finding.details);
}

template <class Visit, class C>
void fieldsOf(Visit& visit, C& c)
  requires std::is_same_v<std::remove_const_t<C>, Comparison>
{
  visit(c.compared); visit(c.total); visit(c.rowsCompared); visit(c.resultLine); visit(c.stopText);
  visit(c.stopDescription); visit(c.findings); visit(c.explainJson); visit(c.top); visit(c.picture);
  visit(c.referenceName); visit(c.comparedName); visit(c.files);
}

constexpr std::uint64_t kRecordMark = 0x7665'6c6d'6f72'6132;  // "velmora2"

struct Writer {
  std::string bytes;
  void raw(const void* value, std::size_t size) { bytes.append(static_cast<const char*>(value), size); }
  void operator()(std::uint64_t value) { raw(&value, sizeof value); }
  void operator()(bool value) { (*this)(std::uint64_t{value ? 1u : 0u}); }
  void operator()(double value) { raw(&value, sizeof value); }
  void operator()(const std::string& value) {
    (*this)(std::uint64_t{value.size()});
    bytes += value;
  }
  template <class Item>
  void operator()(const std::vector<Item>& items) {
    (*this)(std::uint64_t{items.size()});
    for (const Item& item : items) {
      if constexpr (std::is_same_v<Item, std::string>) {
        (*this)(item);
      } else {
        fieldsOf(*this, item);
      }
    }
  }
};

struct Reader {
  std::string_view bytes;
  bool ok = true;
  void raw(void* value, std::size_t size) {
    if (!ok || bytes.size() < size) {
      ok = false;
      return;
    }
    std::memcpy(value, bytes.data(), size);
    bytes.remove_prefix(size);
  }
  void operator()(std::uint64_t& value) { raw(&value, sizeof value); }
  void operator()(bool& value) {
    std::uint64_t number = 0;
    (*this)(number);
    ok = ok && number <= 1;
    value = number == 1;
  }
  void operator()(double& value) { raw(&value, sizeof value); }
  void operator()(std::string& value) {
    std::uint64_t size = 0;
    (*this)(size);
    if (!ok || size > bytes.size()) {
      ok = false;
      return;
    }
    value.assign(bytes.substr(0, size));
    bytes.remove_prefix(size);
  }
  template <class Item>
  void operator()(std::vector<Item>& items) {
    std::uint64_t size = 0;
    (*this)(size);
    // Each item takes at least 8 bytes: a count past that is no record.
    if (!ok || size > bytes.size() / 8) {
      ok = false;
      return;
    }
    items.resize(size);
    for (Item& item : items) {
      if constexpr (std::is_same_v<Item, std::string>) {
        (*this)(item);
      } else {
        fieldsOf(*this, item);
      }
    }
  }
};

}  // namespace

std::string encodeRecord(const Comparison& comparison) {
  Writer writer;
  writer(kRecordMark);
  fieldsOf(writer, comparison);
  writer(kRecordMark);
  return std::move(writer.bytes);
}

bool decodeRecord(std::string_view bytes, Comparison& comparison) {
  Reader reader{bytes};
  std::uint64_t mark = 0, endMark = 0;
  Comparison read;
  reader(mark);
  fieldsOf(reader, read);
  reader(endMark);
  if (!reader.ok || mark != kRecordMark || endMark != kRecordMark || !reader.bytes.empty()) return false;
  comparison = std::move(read);
  return true;
}

}  // namespace velmora::suite
