// The few operating-system calls the reader makes while reading, behind
// pointers so that a test can make them fail. Private to the reader and its tests.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace velmora::detail {

struct SystemCalls {
  ssize_t (*read)(int fd, void* buffer, std::size_t size);
  int (*close)(int fd);
};

// Initially the real calls.
extern SystemCalls systemCalls;

// Whether the reader takes its faster paths: the read of a short record
// whole, the one-pass read of an ordinary record and the number scanner.
// Initially true; tests turn them off to compare the reader against its
// general rules alone. A reader takes it when it opens or rewinds a file, so
// no statement reads it.
extern bool fastPathsEnabled;

}  // namespace velmora::detail
