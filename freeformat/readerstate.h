// The state of one channel's reader (FreeFormatReader), apart from its
// contract in reader.h: the reader's private base, so that its members keep
// their places and the reader's inline members read them directly. Not a
// header of its own: reader.h includes it after the types it names.
// A guard rather than #pragma once: the build also copies the public headers
// into a directory of their own, and a file that reaches both copies must
// read only one.
#ifndef VELMORA_FREEFORMAT_READERSTATE_H
#define VELMORA_FREEFORMAT_READERSTATE_H

#include <cstddef>
#include <cstdint>
#include <memory>

namespace velmora::detail {

struct ReaderState {
  explicit ReaderState(int channel) : channel_(channel) {}

  enum class Access : std::uint8_t { ReadWrite, ReadOnly, WriteOnly };

  // A value given by a repeat form, kept for the items it still has to fill.
  struct RepeatedValue {
    bool isNull = false;
    bool isNumber = false;  // it reads as a number
    double number = 0;
    long long line = 0;
    std::size_t textLength = 0;
    char text[kMaxTextWidth];
  };

  int channel_;
  int fd_ = -1;
  Access access_ = Access::ReadWrite;
  std::uint64_t device_ = 0;
  std::uint64_t inode_ = 0;
  // The name the file was opened under, NUL-terminated: a fixed array, so
  // that opening a file never allocates.
  char name_[kMaxNameLength + 1] = {};
  std::size_t nameLength_ = 0;
  int statement_ = 0;

  std::unique_ptr<char[]> buffer_;
  bool reservedBuffer_ = false;  // buffer_ was reserved ahead, and goes back
  char* pos_ = nullptr;  // next unread byte
  char* end_ = nullptr;  // one past the valid bytes; holds a line-feed sentinel
  bool atEof_ = false;
  bool discardPending_ = false;  // the rest of the last statement's record
  // The last record a faster read took whole, with lines asked for: where it
  // starts in the file and its bytes before its line feed, so that
  // bufferedRecord() need not look for its end again. Forgotten when a file
  // starts and when the buffer's bytes are rewritten.
  bool recordKnown_ = false;
  // The pattern read found no pattern that fits the table's records, longer
  // than 31 bytes, and waits to look again: the short read reads on records
  // of varying widths.
  bool varyingWidths_ = false;
  long long line_ = 1;           // line of the file holding pos_
  long long statementLine_ = 0;  // see statementLine()
  long long statementEndLine_ = 0;  // see statementEndLine()
  bool endedBySlash_ = false;
  StatementOpener opener_ = StatementOpener::EndOfFile;
  long long statementOffset_ = -1;
  long long openerOffset_ = -1;
  std::uint64_t textStores_ = 0;
  std::size_t lastTextLength_ = 0;
  // Where the buffer's first byte stands in the file, and whether a record
  // starts there (the bytes before it were dropped by a refill).
  long long bufferOffset_ = 0;
  bool bufferStartsRecord_ = true;
  long long knownOffset_ = -1;     // with recordKnown_
  std::size_t knownLength_ = 0;    // with recordKnown_
  bool trackOffsets_ = false;  // the statement being executed notes statementOffset_
  IgnoredCounting ignoredCounting_;  // the table being read's (TableRead::ignoredCounting)
  bool tableEnded_ = false;
  bool fastPaths_ = true;  // taken when the file was opened or rewound (the tests' switch)
  int lastByte_ = -1;      // the last byte read from the file so far; -1: none
  // Values the statement being executed has met, repeat forms counted in full
  // (for RowLines).
  std::uint64_t valuesSeen_ = 0;

  // State of the statement being executed.
  std::uint64_t repeatLeft_ = 0;
  RepeatedValue repeat_;
  // The power of ten that folding took out of the value being read.
  std::int64_t foldedScale_ = 0;
  ByteTap tap_;
};

}  // namespace velmora::detail

#endif  // VELMORA_FREEFORMAT_READERSTATE_H
