// What the kernel costs the reader, apart from any parsing: the files read
// the ways a reader could read them, each byte looked at once (a sum of one
// byte in 64, so that nothing is optimised away and every cache line the
// parser would load is loaded).
//   velmora_kernel_cost WAY FILE...
// WAY: read64k, read128k, read256k, read1m (read(2) into one reused block of
// that size), fadvise64k (the same after posix_fadvise SEQUENTIAL and
// WILLNEED), readahead64k (readahead(2) of the whole file first), mmap (a
// read-only mapping walked in order), mmap-populate (MAP_POPULATE).
// bench/kernel times each way, alternating. Not a test.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

std::uint64_t touch(const unsigned char* p, std::size_t n) {
  std::uint64_t sum = 0;
  for (std::size_t i = 0; i < n; i += 64) sum += p[i];
  return sum;
}

std::uint64_t readWhole(int fd, std::size_t block) {
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[block]);
  std::uint64_t sum = 0;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.get(), block);
    if (got <= 0) return sum;
    sum += touch(buffer.get(), static_cast<std::size_t>(got));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: velmora_kernel_cost WAY FILE...\n");
    return 2;
  }
  const std::string_view way = argv[1];
  std::uint64_t sum = 0;
  for (int f = 2; f < argc; ++f) {
    const int fd = ::open(argv[f], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 2;
    struct stat status {};
    if (::fstat(fd, &status) != 0) return 2;
    const auto size = static_cast<std::size_t>(status.st_size);
    if (way == "read64k") {
      sum += readWhole(fd, std::size_t{64} << 10);
    } else if (way == "read128k") {
      sum += readWhole(fd, std::size_t{128} << 10);
    } else if (way == "read256k") {
      sum += readWhole(fd, std::size_t{256} << 10);
    } else if (way == "read1m") {
      sum += readWhole(fd, std::size_t{1} << 20);
    } else if (way == "fadvise64k") {
      ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
      ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
      sum += readWhole(fd, std::size_t{64} << 10);
    } else if (way == "readahead64k") {
      ::readahead(fd, 0, size);
      sum += readWhole(fd, std::size_t{64} << 10);
    } else if (way == "mmap" || way == "mmap-populate") {
      const int flags = MAP_PRIVATE | (way == "mmap-populate" ? MAP_POPULATE : 0);
      void* mapped = ::mmap(nullptr, size, PROT_READ, flags, fd, 0);
      if (mapped == MAP_FAILED) return 2;
      ::madvise(mapped, size, MADV_SEQUENTIAL);
      sum += touch(static_cast<const unsigned char*>(mapped), size);
      ::munmap(mapped, size);
    } else {
      std::fprintf(stderr, "velmora_kernel_cost: unknown way %s\n", argv[1]);
      return 2;
    }
    ::close(fd);
  }
  std::printf("%llu\n", static_cast<unsigned long long>(sum));
  return 0;
}
