// Free-format input: text files opened on numbered channels and read as a
// sequence of read statements, each filling an ordered list of items.
//
// Value rules, in short (a byte is a character; no encoding is assumed):
//   separators   comma, semicolon, slash, blanks (space, tab, a carriage return
//                not followed by a line feed); blanks around a comma belong to it;
//                a record end (line feed, or CR LF) acts as a blank
//   "1, 2 ;3"     -> 1, 2, 3          "1,,3"  -> 1, null, 3 (item 2 unchanged)
//   "1 /"        -> 1, the slash ends the statement, later items unchanged
//   "3*7"        -> 7, 7, 7           "2*"    -> two null values
//   "'a, b'"     -> text a, b         "'it''s'" -> text it's
//   numbers      12  12.  .5  -1.5e3  1.0D+03  1.5+3 (= 1500)  Inf  -infinity  NaN
//   not numbers  .  +  1.5E  0.5C  1..2  'quoted'  0*1 (a zero repeat count)
// A statement starts at the first record not consumed by the previous one, goes
// on over as many records as it needs, and the rest of the record where it
// stopped is discarded. Records and values have no length limit and are read
// in the reader's one fixed buffer (a number longer than it is read on in
// place, its digits beyond those that can matter folded away).
//
// Every failure is fatal: it goes through stopRun(), which writes the two-line
// diagnostic and ends the process with status 2. The one condition handed back
// is the end of the file in a statement that accepts it (ReadStatus::EndOfFile).
// The reader's public headers, by concept:
//   stop.h     the fatal funnel: diagnostics, exit status, a stop handler
//   reader.h   channels, the open rules and the read statements (FreeFormatReader)
//   records.h  how a record splits into values and how each is written; records read again
//   numbers.h  a text's number by the reader's rules
#ifndef VELMORA_FREEFORMAT_FREEFORMAT_H
#define VELMORA_FREEFORMAT_FREEFORMAT_H

#include "numbers.h"
#include "reader.h"
#include "records.h"
#include "stop.h"

#endif  // VELMORA_FREEFORMAT_FREEFORMAT_H
