#include "resbundle/KXPack/KXPackFiles_startUnpack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string_view>

#include "base/RetryOnEintr.h"
#include "resbundle/KXPack/KXPackFiles.h"
#include "resbundle/KXPack/PackFormat.h"
#include "resbundle/KXPack/store/mmap.h"
#include "resbundle/KXPack/store/mycrc32.h"
#include "resbundle/KXPack/utils/KXUtility.h"

namespace pf = packformat;

// ---------------------------------------------------------------------------
// DZlib

DZlib::DZlib() = default;

DZlib::~DZlib() {
  if (stream_) End();
}

int DZlib::Init(int /*level*/, int /*dictionarySize*/) {
  if (stream_) End();
  stream_ = std::make_unique<z_stream>();
  const int result = inflateInit2(stream_.get(), pf::kDeflateWindowBits);
  if (result != Z_OK) stream_.reset();
  return result;
}

int DZlib::End() {
  if (!stream_) return Z_STREAM_ERROR;
  const int result = inflateEnd(stream_.get());
  stream_.reset();
  return result;
}

int DZlib::Reset() {
  if (!stream_) return Z_STREAM_ERROR;
  return inflateReset(stream_.get());
}

int DZlib::Decompress(bool /*finish*/) {
  if (!stream_) return Z_STREAM_ERROR;
  return inflate(stream_.get(), Z_NO_FLUSH);
}

void DZlib::SetNextIn(const void* data, unsigned length) {
  if (!stream_) return;
  stream_->next_in = static_cast<Bytef*>(const_cast<void*>(data));
  stream_->avail_in = length;
}

void DZlib::SetNextOut(void* data, unsigned length) {
  if (!stream_) return;
  stream_->next_out = static_cast<Bytef*>(data);
  stream_->avail_out = length;
}

void* DZlib::GetNextOut() const {
  return stream_ ? stream_->next_out : nullptr;
}

unsigned DZlib::GetAvailIn() const { return stream_ ? stream_->avail_in : 0; }

unsigned DZlib::GetAvailOut() const { return stream_ ? stream_->avail_out : 0; }

// ---------------------------------------------------------------------------
// Unpack reader

namespace {

bool cancelled() { return KXPackFiles::isCanncelled(); }

// Reads of the pack go through one mapped window at a time; a window spans
// at least this many bytes so that a run of small records shares one
// mapping.
constexpr int64_t kReadWindow = 1 << 20;
// Pieces handed to the decompressor, and its output area.
constexpr size_t kReadPiece = pf::kPieceSize;
// An index document larger than this is refused: it would be held in
// memory whole by the XML parser.
constexpr uint64_t kMaxIndexLength = 256u << 20;

// Adds without wrapping; false when the sum exceeds limit.
bool addWithin(uint64_t a, uint64_t b, uint64_t limit, uint64_t* sum) {
  if (a > limit || b > limit - a) return false;
  *sum = a + b;
  return true;
}

// A pack file opened for reading and seen through one read-only window.
class PackSource {
 public:
  // False when the file cannot be opened, is empty, or is 2 GiB or more
  // (views address it with signed 32-bit sizes).
  bool open(const std::string& path) {
    fd_.reset(base::retryOnEintr(
        [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    struct stat st;
    if (!fd_.valid() || fstat(fd_.get(), &st) != 0 || st.st_size <= 0 ||
        st.st_size > pf::kMaxProductSize) {
      return false;
    }
    size_ = st.st_size;
    return map_.setfd(fd_.get(), static_cast<int>(size_));
  }

  int64_t size() const { return size_; }

  // The bytes [offset, offset + length), valid until the next call; null
  // when the range is not inside the file or cannot be mapped.
  const unsigned char* view(uint64_t offset, size_t length) {
    uint64_t end = 0;
    if (length == 0 ||
        !addWithin(offset, length, static_cast<uint64_t>(size_), &end)) {
      return nullptr;
    }
    const auto start = static_cast<int64_t>(offset);
    if (window_ == nullptr || start < windowStart_ ||
        static_cast<int64_t>(end) > windowStart_ + windowLength_) {
      map_.release();
      window_ = nullptr;
      const int64_t span = std::min<int64_t>(
          std::max<int64_t>(static_cast<int64_t>(length), kReadWindow),
          size_ - start);
      window_ = static_cast<const unsigned char*>(
          map_.get(static_cast<int>(start), static_cast<int>(span)));
      if (window_ == nullptr) return nullptr;
      windowStart_ = start;
      windowLength_ = span;
    }
    return window_ + (start - windowStart_);
  }

 private:
  base::UniqueFd fd_;
  MMapFile map_;
  int64_t size_ = 0;
  const unsigned char* window_ = nullptr;
  int64_t windowStart_ = 0;
  int64_t windowLength_ = 0;
};

// The file-system side of restoring: every file is created through
// descriptors below the destination folder, one component at a time and
// never through a symbolic link, so no record can write outside it.
class Destination {
 public:
  explicit Destination(std::string folder) : folder_(std::move(folder)) {}

  // Creates the file for subPath (removing what is there) and returns it
  // open for writing, with its parent folder and name for removal.
  base::UniqueFd create(const std::string& subPath, int* parentFd,
                        std::string* name) {
    std::vector<std::string_view> parts;
    if (!split(subPath, &parts)) return base::UniqueFd();
    if (!openRoot()) return base::UniqueFd();
    const int parent = openParent(parts);
    if (parent < 0) return base::UniqueFd();
    name->assign(parts.back());
    if (unlinkat(parent, name->c_str(), 0) != 0 && errno != ENOENT) {
      return base::UniqueFd();
    }
    *parentFd = parent;
    return base::UniqueFd(base::retryOnEintr([&] {
      return openat(parent, name->c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    }));
  }

 private:
  // Components of a sub-path that stays below the folder: relative, no
  // "..", a real name last. Empty and "." components are skipped.
  static bool split(const std::string& subPath,
                    std::vector<std::string_view>* parts) {
    if (subPath.empty() || subPath.front() == '/') return false;
    std::string_view rest(subPath);
    for (;;) {
      const size_t slash = rest.find('/');
      const std::string_view part = rest.substr(0, slash);
      if (part == "..") return false;
      const bool last = slash == std::string_view::npos;
      if (last) {
        if (part.empty() || part == ".") return false;
        parts->push_back(part);
        return true;
      }
      if (!part.empty() && part != ".") parts->push_back(part);
      rest.remove_prefix(slash + 1);
    }
  }

  bool openRoot() {
    if (root_.valid()) return true;
    if (!KXUtility::folderExist(folder_) &&
        !KXUtility::createMultiDir(folder_.c_str())) {
      mkdir(folder_.c_str(), 0777);  // A bare name has no separator.
    }
    root_.reset(base::retryOnEintr([&] {
      return open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }));
    return root_.valid();
  }

  // The folder holding the last part, created as needed. Consecutive
  // records of one folder reuse the descriptor.
  int openParent(const std::vector<std::string_view>& parts) {
    std::string key;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      key.append(parts[i]);
      key.push_back('/');
    }
    if (key.empty()) return root_.get();
    if (cachedParent_.valid() && key == cachedKey_) return cachedParent_.get();
    base::UniqueFd current;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
      const int at = current.valid() ? current.get() : root_.get();
      const std::string part(parts[i]);
      base::UniqueFd next = openFolderAt(at, part);
      if (!next.valid() && errno == ENOENT) {
        if (mkdirat(at, part.c_str(), 0777) != 0 && errno != EEXIST) return -1;
        next = openFolderAt(at, part);
      }
      if (!next.valid()) return -1;
      current = std::move(next);
    }
    cachedParent_ = std::move(current);
    cachedKey_ = std::move(key);
    return cachedParent_.get();
  }

  static base::UniqueFd openFolderAt(int at, const std::string& name) {
    return base::UniqueFd(base::retryOnEintr([&] {
      return openat(at, name.c_str(),
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }));
  }

  std::string folder_;
  base::UniqueFd root_;
  base::UniqueFd cachedParent_;
  std::string cachedKey_;
};

bool writeFully(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = base::retryOnEintr([&] { return write(fd, data, size); });
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// One restoring run: the pack file opened once, the destination reached
// through descriptors.
class UnpackSession {
 public:
  UnpackSession(uint64_t headerPos, const std::string& folder)
      : headerPos_(headerPos),
        destination_(folder),
        output_(new unsigned char[kReadPiece]) {}

  bool open(const std::string& packPath) { return source_.open(packPath); }

  bool restoreGroup(const KXPackGroup* group) {
    if (group == nullptr) return true;
    for (size_t i = 0; i < group->fileRecordCount(); ++i) {
      if (cancelled()) break;
      if (!restore(group->fileRecordAtIndex(i))) return false;
    }
    return !cancelled();
  }

  bool restore(const KXPackSingleFile* record) {
    if (record == nullptr) return false;
    if (record->isCompressed() && !startDecompressor()) return false;
    int parent = -1;
    std::string name;
    base::UniqueFd out =
        destination_.create(record->subFilePath(), &parent, &name);
    if (!out.valid()) return false;
    bool ok = record->fileLength() == 0 ||
              writeContent(record, &decompressor_, out.get());
    ok = (close(out.release()) == 0) && ok;
    // A file cut short by a failure or a cancel is not left behind.
    if (!ok) unlinkat(parent, name.c_str(), 0);
    return ok;
  }

 private:
  // The decompressor is set up once per run and reset for every record.
  bool startDecompressor() {
    const int ready =
        decompressorReady_ ? decompressor_.Reset() : decompressor_.Init(0, 0);
    decompressorReady_ = ready == Z_OK;
    return decompressorReady_;
  }

  // Writes at most the record's file length, from its stored bytes.
  bool writeContent(const KXPackSingleFile* record, DZlib* decompressor,
                    int out) {
    const bool compressed = record->isCompressed();
    const uint64_t stored =
        compressed ? record->compressedLength() : record->fileLength();
    uint64_t start = 0, end = 0;
    if (!addWithin(headerPos_, record->fileOffset(), INT64_MAX, &start) ||
        !addWithin(start, stored, static_cast<uint64_t>(source_.size()),
                   &end)) {
      return false;
    }
    uint64_t remaining = record->fileLength();
    for (uint64_t at = start; at < end && remaining > 0;) {
      if (cancelled()) return false;
      const size_t size =
          static_cast<size_t>(std::min<uint64_t>(kReadPiece, end - at));
      const unsigned char* piece = source_.view(at, size);
      if (piece == nullptr) return false;
      at += size;
      if (!compressed) {
        const size_t take =
            static_cast<size_t>(std::min<uint64_t>(size, remaining));
        if (!writeFully(out, piece, take)) return false;
        remaining -= take;
        continue;
      }
      decompressor->SetNextIn(piece, static_cast<unsigned>(size));
      int result = Z_OK;
      do {
        decompressor->SetNextOut(output_.get(), kReadPiece);
        result = decompressor->Decompress(false);
        const size_t produced = kReadPiece - decompressor->GetAvailOut();
        const size_t take =
            static_cast<size_t>(std::min<uint64_t>(produced, remaining));
        if (take > 0 && !writeFully(out, output_.get(), take)) return false;
        remaining -= take;
      } while (decompressor->GetAvailOut() == 0 && remaining > 0 &&
               result == Z_OK);
      // After the stream's end or a damaged stream no more output can come.
      if (result != Z_OK && result != Z_BUF_ERROR) break;
    }
    return !cancelled();
  }

  uint64_t headerPos_;
  PackSource source_;
  Destination destination_;
  std::unique_ptr<unsigned char[]> output_;
  DZlib decompressor_;  // Its destructor ends the stream.
  bool decompressorReady_ = false;
};

// Inflates (or copies) the stored index into stream, checking its
// checksum against the expected one.
bool copyIndex(PackSource* source, const KXPackFiles& pack, uint64_t start,
               uint64_t stored, std::FILE* stream) {
  const bool compressed = pack.filesXMLIsCompressed();
  const uint32_t expected =
      compressed ? pack.filesXMLCompressCrc32() : pack.filesXMLCrc32();
  DZlib decompressor;
  if (compressed && decompressor.Init(0, 0) != Z_OK) return false;
  auto output = std::make_unique<unsigned char[]>(pf::kPieceSize);
  uint32_t crc = 0;
  uint64_t written = 0;
  for (uint64_t done = 0; done < stored;) {
    if (cancelled()) return false;
    const size_t size =
        static_cast<size_t>(std::min<uint64_t>(pf::kPieceSize, stored - done));
    const unsigned char* piece = source->view(start + done, size);
    if (piece == nullptr) return false;
    done += size;
    crc = myCRC32(crc, piece, size);
    if (!compressed) {
      written += size;
      if (written > kMaxIndexLength ||
          std::fwrite(piece, 1, size, stream) != size) {
        return false;
      }
      continue;
    }
    decompressor.SetNextIn(piece, static_cast<unsigned>(size));
    do {
      decompressor.SetNextOut(output.get(), pf::kPieceSize);
      decompressor.Decompress(false);
      const size_t produced = pf::kPieceSize - decompressor.GetAvailOut();
      written += produced;
      if (written > kMaxIndexLength ||
          std::fwrite(output.get(), 1, produced, stream) != produced) {
        return false;
      }
    } while (decompressor.GetAvailOut() == 0);
  }
  return crc == expected;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

bool KXPackFiles::startUnpack(const std::string& packPath,
                              const std::string& folder) {
  uint64_t headerPos = 0;
  std::unique_ptr<KXPackFiles> pack =
      searchAndRestorePackFiles(packPath, &headerPos);
  if (!pack) return false;
  return outPackAllFiles(packPath, headerPos, folder, pack.get());
}

std::unique_ptr<KXPackFiles> KXPackFiles::searchAndRestorePackFiles(
    const std::string& path, uint64_t* headerPos) {
  uint64_t found = 0;
  if (!searchPackOffset(path, &found)) return nullptr;
  if (headerPos != nullptr) *headerPos = found;
  return makeAllPackHeader(path, found);
}

bool KXPackFiles::searchPackOffset(const std::string& path,
                                   uint64_t* headerPos) {
  if (path.empty() || headerPos == nullptr) return false;
  PackSource source;
  if (!source.open(path)) return false;
  const int64_t size = source.size();
  if (size < static_cast<int64_t>(pf::kHeaderSize)) return false;
  if (isCanncelled()) return false;
  // Window i starts at i * G and reaches kHeaderSize - 1 bytes past the
  // next window's start, so a block that straddles a boundary is tested in
  // the window where it starts and the lowest offset is found first.
  const int64_t g = allocationGranularity();
  const std::string_view signature = pf::kSignatures[0].text;
  for (int64_t start = 0; start + static_cast<int64_t>(pf::kHeaderSize) <= size;
       start += g) {
    if (isCanncelled()) return false;
    const int64_t end =
        std::min<int64_t>(size, start + g + pf::kHeaderSize - 1);
    const unsigned char* window = source.view(static_cast<uint64_t>(start),
                                              static_cast<size_t>(end - start));
    if (window == nullptr) return false;
    // Candidates j: j < G and j + kHeaderSize <= window length.
    const int64_t lastCandidate =
        std::min<int64_t>(g - 1, end - start - pf::kHeaderSize);
    const size_t searchLength =
        static_cast<size_t>(lastCandidate) + signature.size();
    for (size_t from = 0; from + signature.size() <= searchLength;) {
      const void* hit = memmem(window + from, searchLength - from,
                               signature.data(), signature.size());
      if (hit == nullptr) break;
      const size_t j =
          static_cast<size_t>(static_cast<const unsigned char*>(hit) - window);
      if (isValidFilesSignature(window + j)) {
        *headerPos = static_cast<uint64_t>(start) + j;
        return true;
      }
      from = j + 1;
    }
  }
  return false;
}

std::unique_ptr<KXPackFiles> KXPackFiles::makeAllPackHeader(
    const std::string& path, uint64_t headerPos) {
  PackSource source;
  if (path.empty() || !source.open(path)) return nullptr;
  base::UniqueFd tempFd = KXUtility::openAnonymousTempFile();
  if (!tempFd.valid()) return nullptr;
  std::unique_ptr<std::FILE, FileCloser> stream(fdopen(tempFd.get(), "w+b"));
  if (!stream) return nullptr;
  (void)tempFd.release();  // Now closed through the stream.

  const unsigned char* block = source.view(headerPos, pf::kHeaderSize);
  std::unique_ptr<KXPackFiles> pack = buildPackHeader(block);
  if (!pack) return nullptr;

  const uint64_t stored = pack->filesXMLIsCompressed()
                              ? pack->filesXMLCompressLength()
                              : pack->filesXMLLength();
  if (stored == 0) return isCanncelled() ? nullptr : std::move(pack);

  uint64_t start = 0, end = 0;
  if (!addWithin(headerPos, pack->filesXMLOffset(), INT64_MAX, &start) ||
      !addWithin(start, stored, static_cast<uint64_t>(source.size()), &end)) {
    return nullptr;
  }
  if (!copyIndex(&source, *pack, start, stored, stream.get())) return nullptr;
  if (std::fflush(stream.get()) != 0) return nullptr;
  std::rewind(stream.get());
  if (!buildPackHeaderDetail(stream.get(), pack.get())) return nullptr;
  if (isCanncelled()) return nullptr;
  return pack;
}

bool KXPackFiles::outPackAllFiles(const std::string& packPath,
                                  uint64_t headerPos, const std::string& folder,
                                  const KXPackFiles* pack) {
  if (folder.empty() || packPath.empty() || pack == nullptr) return false;
  UnpackSession session(headerPos, folder);
  if (!session.open(packPath)) return false;
  for (size_t i = 0; i < pack->packGroupCount(); ++i) {
    if (isCanncelled()) return false;
    if (!session.restoreGroup(pack->packGroupAtIndex(i))) return false;
  }
  return !isCanncelled();
}

bool KXPackFiles::outPackGroup(const std::string& packPath, uint64_t headerPos,
                               const std::string& folder,
                               const KXPackGroup* group) {
  if (group == nullptr || group->fileRecordCount() == 0) return true;
  if (folder.empty() || packPath.empty()) return false;
  UnpackSession session(headerPos, folder);
  if (!session.open(packPath)) return false;
  return session.restoreGroup(group);
}

bool KXPackFiles::outPackSingleFile(const std::string& packPath,
                                    uint64_t headerPos,
                                    const std::string& folder,
                                    const KXPackSingleFile* record) {
  if (record == nullptr || folder.empty()) return false;
  UnpackSession session(headerPos, folder);
  if (!session.open(packPath)) return false;
  return session.restore(record);
}
