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

}  // namespace velmora::detail
