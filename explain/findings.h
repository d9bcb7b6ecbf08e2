// What velmora-explain finds in an explanation's facts: each finding's kind,
// role and words, and the functions that make them. Making findings reads
// no file: every record a finding shows was read before, with the facts.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "explain/relations.h"

namespace velmora::explain {

struct Explanation;
struct LoadRecord;

// What a finding is about. The kinds, most important first; each has one
// name in the JSON report (findingKindName) and one entry in the manual page.
enum class FindingKind {
  Stop,                // velmora stops: the file cannot be read to the end
  EmptyFile,           // a file of 0 bytes
  Directory,           // a name that denotes a directory
  ControlFile,         // where each name came from, and a second name lost to a slash or comma
  SameFile,            // both names denote one file
  LayoutsDiffer,       // the two format codes select different layouts
  NoHeader,            // most header records read like table rows
  HeaderRecordsLikeRows,  // some header records read like table rows
  MultiLineRows,       // row statements that read more than one line
  SurplusValues,       // records holding more than three values
  Relation,            // a relation that explains the total (relations.h); listed first
  Unexplained,         // no relation holds: what the differences look like
  RecordBytes,         // a record read other than its writer surely meant, its bytes named
  ZeroColumn,          // a second column that is zero on every row
  ConstantColumn,      // the compared column 2 is one value on every row, the reference's not
  RowCounts,           // the files have different row counts
  RowsPastLimit,       // rows past 1,000,000 were not read
  FirstDifference,     // the first row that differs
  Largest,             // the row that adds most
  FilesAgree,          // a zero total: every row agrees
  FailAbove,           // the --fail-above limit and its verdict
};
const char* findingKindName(FindingKind kind);

enum class FindingRole { Reference, Compared, Control, Pair };
const char* findingRoleName(FindingRole role);

// A compared row that does not follow a relation, as the report lists it:
// its lines and records as written in both files (the reference row the
// relation gives it), and what the relation expected.
struct ExceptionRow {
  std::size_t row = 0;               // compared row, from 1
  std::size_t referenceRow = 0;      // from 1
  long long comparedLine = 0, comparedLastLine = 0;
  long long referenceLine = 0, referenceLastLine = 0;
  double comparedValues[3] = {0, 0, 0};
  double referenceValues[3] = {0, 0, 0};
  std::string comparedRecord, referenceRecord;
  double expected = 0;               // file units
  double square = 0;                 // its part of the residual
};

struct Finding {
  FindingKind kind;
  FindingRole role;
  std::size_t row = 0;          // 0: no row
  std::vector<long long> lines; // lines of the file named by the role (empty: none)
  std::string text;             // one or two sentences, enough to fix the file
  // A relation finding's relation, and its first exceptions with their records.
  std::shared_ptr<const Relation> relation = nullptr;
  std::vector<ExceptionRow> exceptionRows = {};
  // An unexplained finding's description of the differences.
  std::shared_ptr<const Unexplained> unexplained = nullptr;
};

// The findings of an explanation (its facts complete), most important first.
void addFindings(Explanation& facts);
// Of those, the relations that explain the total and the records read other
// than their writer surely meant (relationfindings.cpp), from
// `relationSearch`.
void addRelationFindings(Explanation& facts, std::vector<Finding>& out);
// The relation search of a compared pair, into `relationSearch`.
void searchRelationsOf(Explanation& facts);
// The rows (from 0) whose records the relation findings show: of each
// relation its listed exceptions (reference row, compared row), and the
// first compared rows when column 2 is one value.
void relationRowsShown(const Explanation& facts, std::vector<std::size_t>& reference,
                       std::vector<std::size_t>& compared);

// A total in few digits, as a relation's sentence gives it: 4.1e9, 12.5, 0.
std::string roughTotal(double v);

// How findings and the report show what they name.
// A record as the report shows it: control bytes, backslashes and bytes that
// are not UTF-8 escaped, a line feed between the lines of a row read from
// more than one as " | ", cut after kShownRecordWidth characters with an
// ellipsis: "1 2,5 3" -> "1 2,5 3"   "1\t2" -> "1\\x092"
std::string shownRecord(std::string_view record);

// Of a title statement that stored no value (it opened with a null value or
// a slash), the words that say the layout comes from the text an earlier
// statement left, ending in ": "; "" when it stored its value. And what the
// text in the line buffer is called: "the title value " or "the text ".
std::string titleNotStored(const LoadRecord& r);
const char* titleNoun(const LoadRecord& r);

// A share of the total (0 to 1) as a percentage: "80%", "64.29%"; a share
// too small to show in two decimals as "< 0.01%".
std::string shareText(double share);

}  // namespace velmora::explain
