// pack_floor: the least work any packer or unpacker must do, as a yardstick
// for the pack core's timings.
//   pack_floor pack FOLDER [STREAMS]  read every regular file, checksum it
//       and deflate it (level 9, memory level 9, raw, 64 KiB pieces); with
//       STREAMS, also save the streams for the unpack floor (not timed in
//       the comparison).
//   pack_floor unpack STREAMS FOLDER  inflate every saved stream and write
//       the file back below FOLDER.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "resbundle/KXPack/store/mycrc32.h"

namespace {

constexpr size_t kPiece = 65536;

struct Saved {
  std::FILE* out = nullptr;
};

void writeAll(std::FILE* f, const void* p, size_t n) {
  if (n && std::fwrite(p, 1, n, f) != n) std::perror("write");
}

void packFile(const std::string& full, const std::string& sub, z_stream* z,
              std::vector<unsigned char>& in, std::vector<unsigned char>& out,
              Saved* saved) {
  const int fd = open(full.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  deflateReset(z);
  uint32_t crc = 0;
  std::string stream;
  uint64_t length = 0;
  for (;;) {
    const ssize_t got = read(fd, in.data(), kPiece);
    if (got < 0) break;
    length += got;
    crc = myCRC32(crc, in.data(), got);
    const bool finish = got == 0 || static_cast<size_t>(got) < kPiece;
    z->next_in = in.data();
    z->avail_in = static_cast<uInt>(got);
    do {
      z->next_out = out.data();
      z->avail_out = kPiece;
      deflate(z, finish ? Z_FINISH : Z_NO_FLUSH);
      if (saved->out)
        stream.append(reinterpret_cast<char*>(out.data()),
                      kPiece - z->avail_out);
    } while (z->avail_out == 0);
    if (finish) break;
  }
  close(fd);
  if (saved->out) {
    const uint32_t n = static_cast<uint32_t>(sub.size());
    const uint64_t stored = stream.size();
    writeAll(saved->out, &n, 4);
    writeAll(saved->out, sub.data(), n);
    writeAll(saved->out, &length, 8);
    writeAll(saved->out, &stored, 8);
    writeAll(saved->out, stream.data(), stream.size());
  }
  (void)crc;
}

void walk(const std::string& dir, const std::string& sub, z_stream* z,
          std::vector<unsigned char>& in, std::vector<unsigned char>& out,
          Saved* saved) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    const std::string full = dir + "/" + name;
    const std::string child = sub.empty() ? name : sub + "/" + name;
    if (e->d_type == DT_DIR) walk(full, child, z, in, out, saved);
    if (e->d_type == DT_REG) packFile(full, child, z, in, out, saved);
  }
  closedir(d);
}

int pack(const char* folder, const char* streams) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY);
  std::vector<unsigned char> in(kPiece), out(kPiece);
  Saved saved;
  if (streams) saved.out = std::fopen(streams, "wb");
  walk(folder, "", &z, in, out, &saved);
  deflateEnd(&z);
  if (saved.out) std::fclose(saved.out);
  return 0;
}

bool readExact(std::FILE* f, void* p, size_t n) {
  return std::fread(p, 1, n, f) == n;
}

void makeParents(const std::string& path, std::set<std::string>* made) {
  for (size_t at = path.find('/', 1); at != std::string::npos;
       at = path.find('/', at + 1)) {
    const std::string dir = path.substr(0, at);
    if (made->insert(dir).second) mkdir(dir.c_str(), 0777);
  }
}

int unpack(const char* streams, const char* folder) {
  std::FILE* f = std::fopen(streams, "rb");
  if (!f) return 1;
  mkdir(folder, 0777);
  z_stream z{};
  inflateInit2(&z, -15);
  std::vector<unsigned char> in(kPiece), out(kPiece);
  std::set<std::string> made;
  uint32_t n = 0;
  while (readExact(f, &n, 4)) {
    std::string sub(n, '\0');
    uint64_t length = 0, stored = 0;
    readExact(f, sub.data(), n);
    readExact(f, &length, 8);
    readExact(f, &stored, 8);
    const std::string path = std::string(folder) + "/" + sub;
    makeParents(path, &made);
    const int fd =
        open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    inflateReset(&z);
    while (stored > 0) {
      const size_t take = stored < kPiece ? stored : kPiece;
      readExact(f, in.data(), take);
      stored -= take;
      z.next_in = in.data();
      z.avail_in = static_cast<uInt>(take);
      do {
        z.next_out = out.data();
        z.avail_out = kPiece;
        inflate(&z, Z_NO_FLUSH);
        if (write(fd, out.data(), kPiece - z.avail_out) < 0) std::perror("w");
      } while (z.avail_out == 0);
    }
    close(fd);
  }
  inflateEnd(&z);
  std::fclose(f);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "pack") == 0) {
    return pack(argv[2], argc > 3 ? argv[3] : nullptr);
  }
  if (argc == 4 && std::strcmp(argv[1], "unpack") == 0) {
    return unpack(argv[2], argv[3]);
  }
  std::fprintf(stderr,
               "usage: pack_floor pack FOLDER [STREAMS] | unpack "
               "STREAMS FOLDER\n");
  return 2;
}
