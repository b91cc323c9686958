// The floor for the sealing tool's speed: the same file work without any
// cipher. Reads the whole file into one buffer, writes it to a temporary
// file beside the destination, flushes it to disk and renames it into
// place, exactly as bookseal does around its cipher.
//
//   bookseal_copy_floor [--huge] SOURCE DESTINATION
//
// The buffer comes from new[] (4 KiB pages), or with --huge from the
// tool's own ByteBuffer (2 MiB huge pages), so the cost of the cipher can
// be told apart from the cost of the memory. Exits 0 on success, 1 if not.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "bookseal/ByteBuffer.h"

namespace {

bool readAll(int fd, unsigned char* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(fd, out + done, size - done);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

bool writeAll(int fd, const unsigned char* in, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t put = ::write(fd, in + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool huge = argc == 4 && std::string_view(argv[1]) == "--huge";
  if (argc != 3 && !huge) return 1;
  const std::string source = argv[argc - 2];
  const std::string target = argv[argc - 1];
  const std::string temp = target + ".floor-tmp";
  const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (in < 0 || ::fstat(in, &info) != 0) return 1;
  const auto size = static_cast<size_t>(info.st_size);
  std::unique_ptr<unsigned char[]> plain;
  std::optional<bookseal::ByteBuffer> mapped;
  unsigned char* bytes;
  if (huge) {
    mapped = bookseal::ByteBuffer::allocate(size);
    if (!mapped) return 1;
    bytes = mapped->data();
  } else {
    plain.reset(new unsigned char[size]);
    bytes = plain.get();
  }
  if (!readAll(in, bytes, size)) return 1;
  ::close(in);
  const int out =
      ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) return 1;
  const bool ok = writeAll(out, bytes, size) && ::fsync(out) == 0 &&
                  ::close(out) == 0 &&
                  ::rename(temp.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temp.c_str());
  return ok ? 0 : 1;
}
