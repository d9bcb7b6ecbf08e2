#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "freeformat.h"

namespace velmora {

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
  // A first piece of a few hundred bytes holds most records whole (a
  // table's sampled rows are read one by one); a longer one goes on in
  // larger pieces.
  constexpr std::size_t kFirstPiece = 512, kPiece = 4096;
  std::size_t pieceSize = kFirstPiece;
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
    const ssize_t got = ::pread(fd_, piece, wanted, at);
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
  record.shape = describeRecord(record.bytes);
  return true;
}

}  // namespace velmora
