// Helpers for the pack core's tests: a scratch folder removed with all its
// contents, whole-file reads and writes, and a builder of packs from
// hand-written parts (including damaged and hostile ones) that shares no
// code with the writer except the checksum and the header codec.
#pragma once

#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "resbundle/KXPack/KXPackFiles.h"
#include "resbundle/KXPack/PackFormat.h"
#include "resbundle/KXPack/store/mycrc32.h"
#include "resbundle/tests/raw_deflate.h"

namespace packtest {

// A fresh folder below $TMPDIR (or /tmp), removed with its contents when
// the object goes away.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base && *base ? base : "/tmp") + "/packtest-XXXXXX";
    path_ = mkdtemp(pattern.data()) ? pattern : "";
    EXPECT_FALSE(path_.empty());
  }
  ~ScratchDir() { removeTree(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const {
    return path_ + "/" + name;
  }

  static void removeTree(const std::string& path) {
    if (path.empty()) return;
    // Folders made unreadable by a test must be opened again to be emptied.
    nftw(
        path.c_str(),
        [](const char* p, const struct stat* st, int type, struct FTW*) {
          if (type == FTW_D || type == FTW_DNR) chmod(p, 0700);
          (void)st;
          return 0;
        },
        16, FTW_PHYS);
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) {
          return ::remove(p);
        },
        16, FTW_DEPTH | FTW_PHYS);
  }

 private:
  std::string path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    std::string dir = path.substr(0, slash);
    std::string partial;
    std::stringstream parts(dir);
    for (std::string part; std::getline(parts, part, '/');) {
      partial += part + "/";
      mkdir(partial.c_str(), 0777);
    }
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline std::optional<std::string> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

inline bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline std::string randomBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

inline std::string textBytes(size_t size) {
  std::string s;
  for (size_t i = 0; s.size() < size; ++i) {
    s += "line " + std::to_string(i) + " of a page of text\n";
  }
  s.resize(size);
  return s;
}

inline std::string rawInflate(const std::string& stored) {
  z_stream z{};
  inflateInit2(&z, -15);
  std::string out;
  char buf[65536];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stored.data()));
  z.avail_in = static_cast<uInt>(stored.size());
  int rc = Z_OK;
  do {
    z.next_out = reinterpret_cast<Bytef*>(buf);
    z.avail_out = sizeof buf;
    rc = inflate(&z, Z_NO_FLUSH);
    out.append(buf, sizeof buf - z.avail_out);
  } while (rc == Z_OK);
  inflateEnd(&z);
  return out;
}

// One file of a hand-built pack. Fields left unset take the values an
// honest writer would give.
struct FakeRecord {
  FakeRecord(std::string sub, std::string bytes, bool deflated = true)
      : subPath(std::move(sub)),
        content(std::move(bytes)),
        compressed(deflated) {}

  std::string subPath;
  std::string content;
  bool compressed;
  std::optional<std::string> stored;  // Bytes stored instead of deflate.
  std::optional<uint64_t> fileLength;
  std::optional<uint64_t> compressLength;
  std::optional<uint64_t> fileOffset;
};

struct FakePack {
  std::string host;
  std::vector<FakeRecord> records;
  std::optional<std::string> document;  // Index text instead of the made one.
  bool compressIndex = true;
  bool breakIndexChecksum = false;
  std::optional<uint64_t> indexOffset;
};

struct BuiltPack {
  std::string bytes;
  uint64_t headerPos = 0;
};

inline std::string cdataSubPath(const std::string& s) {
  return "<subFilePath><![CDATA[" + s + "]]></subFilePath>";
}

inline BuiltPack buildPack(const FakePack& fake) {
  namespace pf = packformat;
  std::string data;
  std::string document =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<fileGroupList>\n"
      "  <filegroup majorVer=\"1\" minorVer=\"1\" fileCount=\"" +
      std::to_string(fake.records.size()) + "\">\n";
  for (const FakeRecord& r : fake.records) {
    std::string stored =
        r.stored ? *r.stored
                 : (r.compressed ? rawDeflate(r.content) : r.content);
    const bool empty = r.content.empty() && !r.stored;
    const uint64_t offset = r.fileOffset
                                ? *r.fileOffset
                                : (empty ? 0 : pf::kHeaderSize + data.size());
    if (!empty) data += stored;
    const uint64_t length = r.fileLength ? *r.fileLength : r.content.size();
    const uint64_t storedLength =
        r.compressLength ? *r.compressLength : (empty ? 0 : stored.size());
    document +=
        "    <singleFile majorVer=\"1\" minorVer=\"1\" isCompressed=\"" +
        std::string(r.compressed && !empty ? "true" : "false") +
        "\" fileLength=\"" + std::to_string(length) + "\" compressLength=\"" +
        std::to_string(storedLength) + "\" fileOffset=\"" +
        std::to_string(offset) + "\" fileConctextCrc32=\"" +
        std::to_string(myCRC32(0, r.content.data(), r.content.size())) +
        "\" fileContextCompressCrc32=\"" +
        std::to_string(myCRC32(0, stored.data(), stored.size())) + "\">" +
        cdataSubPath(r.subPath) + "</singleFile>\n";
  }
  document += "  </filegroup>\n</fileGroupList>\n";
  if (fake.document) document = *fake.document;

  const std::string storedIndex =
      fake.compressIndex ? rawDeflate(document) : document;
  KXPackFiles pack;
  pack.addPackGroup(std::make_unique<KXPackGroup>());
  pack.setFileXMLIsCompressed(fake.compressIndex);
  pack.setFilesXMLOffset(fake.indexOffset ? *fake.indexOffset
                                          : pf::kHeaderSize + data.size());
  pack.setFilesXMLLength(document.size());
  pack.setFilesXMLCompressLength(storedIndex.size());
  pack.setFilesXMLCrc32(myCRC32(0, document.data(), document.size()));
  uint32_t storedCrc = myCRC32(0, storedIndex.data(), storedIndex.size());
  if (fake.breakIndexChecksum) storedCrc ^= 1;
  pack.setFilesXMLCompressCrc32(storedCrc);
  if (!fake.compressIndex) pack.setFilesXMLCrc32(storedCrc);
  auto header = KXPackFiles::packHeader(&pack);
  BuiltPack built;
  built.headerPos = fake.host.size();
  built.bytes = fake.host +
                std::string(reinterpret_cast<const char*>(header.get()),
                            pf::kHeaderSize) +
                data + storedIndex;
  return built;
}

// Every regular file below root, by sub-path, with its content.
inline std::map<std::string, std::string> readTree(const std::string& root) {
  std::map<std::string, std::string> files;
  static thread_local std::map<std::string, std::string>* sink;
  static thread_local size_t rootLength;
  sink = &files;
  rootLength = root.size() + 1;
  nftw(
      root.c_str(),
      [](const char* p, const struct stat*, int type, struct FTW*) {
        if (type == FTW_F)
          (*sink)[std::string(p).substr(rootLength)] = *readFile(p);
        return 0;
      },
      16, FTW_PHYS);
  return files;
}

}  // namespace packtest
