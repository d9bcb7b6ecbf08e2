// What the fuzz targets share: a stop handler that throws, so a fatal stop can
// be observed in-process; one reusable file per process for the input; a read
// seam that hands the reader its bytes either whole or in small pieces and
// tells AddressSanitizer that nothing past them may be read; and the check of
// a stop's two lines.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "freeformat/freeformat.h"
#include "freeformat/system.h"

#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMORA_FUZZ_ASAN 1
#endif
#endif
#ifdef VELMORA_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace velmora::fuzz {

// The input file of this process, removed when a violation ends it.
inline std::string inputPath;

// A property that must hold for every input does not: abort, so the fuzzer
// keeps the input and the replay fails.
[[noreturn]] inline void violated(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  if (!inputPath.empty()) ::unlink(inputPath.c_str());
  std::abort();
}
inline void require(bool holds, const char* what) {
  if (!holds) violated(what);
}

// A stop caught in-process. The report's names and text belong to the
// reader that stopped, gone once the stack unwinds: the caught stop keeps
// copies, and its report points at them.
struct Stopped {
  explicit Stopped(const StopReport& stopped)
      : file(stopped.file), openName(stopped.openName), text(stopped.text, stopped.textLength),
        report(stopped) {
    repoint();
  }
  Stopped(const Stopped& other)
      : file(other.file), openName(other.openName), text(other.text), report(other.report) {
    repoint();
  }
  Stopped& operator=(const Stopped&) = delete;

  std::string file, openName, text;
  StopReport report;

 private:
  void repoint() {
    report.file = file;
    report.openName = openName;
    report.text = text.c_str();
  }
};
inline void throwStop(const StopReport& report) { throw Stopped(report); }

// Records of a file: line feeds, plus a last record without one.
inline long long recordsIn(std::string_view bytes) {
  long long records = 0;
  for (char c : bytes) records += c == '\n';
  return records + (!bytes.empty() && bytes.back() != '\n');
}

// One file per process, rewritten for every input; in memory where /dev/shm exists.
class InputFile {
 public:
  explicit InputFile(const char* tag) {
    struct stat status {};
    const char* directory = ::stat("/dev/shm", &status) == 0 && S_ISDIR(status.st_mode) ? "/dev/shm" : "/tmp";
    path_ = std::string(directory) + "/velmora-fuzz-" + tag + "-" + std::to_string(::getpid());
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    require(fd_ >= 0, "the input file can be created");
    inputPath = path_;
  }
  ~InputFile() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  void write(const std::uint8_t* data, std::size_t size) {
    require(::ftruncate(fd_, 0) == 0, "the input file can be emptied");
    std::size_t done = 0;
    while (done < size) {
      ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      require(n > 0 || (n < 0 && errno == EINTR), "the input file can be written");
      if (n > 0) done += static_cast<std::size_t>(n);
    }
  }
  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_ = -1;
};

// The reader's reads. With a source set, bytes come from memory, at most
// `piece` at a time (a short read is always allowed, and it moves values
// across the ends of blocks); otherwise from the file. After each read, the
// buffer past the bytes read and the reader's fixed tail (sentinel and padding)
// is poisoned, so a scan that runs past the valid bytes is an over-read even
// though the buffer is much larger than a fuzz input.
class ReadSeam {
 public:
  static void install() { detail::systemCalls.read = &ReadSeam::read; }
  static void fromFile() { source_ = nullptr; }
  static void fromMemory(const std::uint8_t* data, std::size_t size, std::size_t piece) {
    source_ = data;
    sourceSize_ = size;
    offset_ = 0;
    piece_ = piece;
  }
  // The reader's buffer is about to be freed: forget it, poison nothing of it.
  static void forgetBuffer() { bufferEnd_ = poisoned_ = nullptr; }

 private:
  static ssize_t read(int fd, void* buffer, std::size_t size) {
    auto* into = static_cast<char*>(buffer);
    char* blockEnd = into + size;  // the same for every read into one buffer
    allow(blockEnd);
    ssize_t got;
    if (source_ != nullptr) {
      std::size_t n = sourceSize_ - offset_;
      if (n > size) n = size;
      if (n > piece_) n = piece_;
      std::memcpy(into, source_ + offset_, n);
      offset_ += n;
      got = static_cast<ssize_t>(n);
    } else {
      got = ::read(fd, buffer, size);
    }
    if (got >= 0) forbid(into + got + (bufferEnd_ - blockEnd), bufferEnd_);
    return got;
  }

#ifdef VELMORA_FUZZ_ASAN
  static void allow(char* blockEnd) {
    if (poisoned_ != nullptr) {
      ASAN_UNPOISON_MEMORY_REGION(poisoned_, static_cast<std::size_t>(bufferEnd_ - poisoned_));
      poisoned_ = nullptr;
    }
    if (bufferEnd_ == nullptr) {
      // A new buffer: its allocation ends at the first poisoned byte after the block.
      bufferEnd_ = blockEnd;
      for (int i = 0; i < 4096 && __asan_address_is_poisoned(bufferEnd_) == 0; ++i) ++bufferEnd_;
    }
  }
  static void forbid(char* from, char* to) {
    if (from < to) {
      ASAN_POISON_MEMORY_REGION(from, static_cast<std::size_t>(to - from));
      poisoned_ = from;
    }
  }
#else
  static void allow(char* blockEnd) { bufferEnd_ = blockEnd; }
  static void forbid(char*, char*) {}
#endif

  static inline const std::uint8_t* source_ = nullptr;
  static inline std::size_t sourceSize_ = 0;
  static inline std::size_t offset_ = 0;
  static inline std::size_t piece_ = 0;
  static inline char* bufferEnd_ = nullptr;
  static inline char* poisoned_ = nullptr;
};

// What a harness knows about the stops its statements may raise.
struct StopBounds {
  std::string_view file;  // the name the channel was opened under
  int channel;
  long long maxLine;  // the file's last line
  int maxItem;        // items of the statement
};

// What a stop names besides its kind.
struct StopFacts {
  int item = 0;        // for a bad number or bad text
  long long line = 0;  // likewise
};

// Every stop is exactly two whole lines, each ending in a line feed, and its
// facts fit the statement that raised it: the channel and file read, a line
// of the file and an item of the statement for a bad number or bad text, and
// nothing of the kind otherwise. Only the kinds reading a regular file can
// raise are accepted.
inline StopFacts checkStop(const StopReport& report, const StopBounds& bounds) {
  const std::string_view text(report.text, report.textLength);
  require(std::strlen(report.text) == report.textLength, "the stop text is terminated");
  const std::size_t firstEnd = text.find('\n');
  require(firstEnd != std::string_view::npos && firstEnd + 1 < text.size() && text.back() == '\n' &&
              text.find('\n', firstEnd + 1) == text.size() - 1,
          "the stop text is exactly two lines");
  require(text.starts_with("Velmora: statement ") && text.substr(firstEnd + 1).starts_with("error: "),
          "the lines start with the program and with the error");
  require(report.channel == bounds.channel, "the stop names the channel read");
  require(report.file == bounds.file, "the stop names the file read");
  const bool located = report.kind == Failure::BadNumber || report.kind == Failure::BadText;
  if (located) {
    require(report.line >= 1 && report.line <= bounds.maxLine, "a bad value names a line of the file");
    require(report.item >= 1 && report.item <= bounds.maxItem, "a bad value names an item of its statement");
  } else {
    require(report.line == 0 && report.item == 0, "only a bad value names a line and an item");
  }
  require(report.kind == Failure::EndOfFile || located,
          "only an end of file, a bad number or bad text can stop a read of a regular file");
  return {report.item, report.line};
}

}  // namespace velmora::fuzz
