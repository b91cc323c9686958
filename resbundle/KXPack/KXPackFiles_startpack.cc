#include "resbundle/KXPack/KXPackFiles_startpack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <cstring>
#include <limits>

#include "base/RetryOnEintr.h"
#include "resbundle/KXPack/KXPackFiles.h"
#include "resbundle/KXPack/PackFormat.h"
#include "resbundle/KXPack/store/mmap.h"
#include "resbundle/KXPack/store/mycrc32.h"
#include "resbundle/KXPack/utils/KXUtility.h"

namespace pf = packformat;

// ---------------------------------------------------------------------------
// CZlib

const char* zlibErrorText(int code) {
  static constexpr struct {
    int code;
    const char* text;
  } kTexts[] = {{Z_STREAM_ERROR, "invalid stream - bad call"},
                {Z_DATA_ERROR, "data error"},
                {Z_MEM_ERROR, "not enough memory"},
                {Z_BUF_ERROR, "buffer error - bad call"},
                {Z_VERSION_ERROR, "version error"}};
  for (const auto& entry : kTexts) {
    if (entry.code == code) return entry.text;
  }
  return "unknown error";
}

CZlib::CZlib() = default;

CZlib::~CZlib() {
  if (stream_) End();
}

int CZlib::Init(int level, int /*dictionarySize*/) {
  if (stream_) End();
  stream_ = std::make_unique<z_stream>();
  const int result =
      deflateInit2(stream_.get(), level, Z_DEFLATED, pf::kDeflateWindowBits,
                   pf::kDeflateMemLevel, Z_DEFAULT_STRATEGY);
  if (result != Z_OK) stream_.reset();
  return result;
}

int CZlib::End() {
  if (!stream_) return Z_STREAM_ERROR;
  const int result = deflateEnd(stream_.get());
  stream_.reset();
  return result;
}

int CZlib::Reset() {
  if (!stream_) return Z_STREAM_ERROR;
  return deflateReset(stream_.get());
}

int CZlib::Compress(bool finish) {
  if (!stream_) return Z_STREAM_ERROR;
  return deflate(stream_.get(), finish ? Z_FINISH : Z_NO_FLUSH);
}

void CZlib::SetNextIn(const void* data, unsigned length) {
  if (!stream_) return;
  stream_->next_in = static_cast<Bytef*>(const_cast<void*>(data));
  stream_->avail_in = length;
}

void CZlib::SetNextOut(void* data, unsigned length) {
  if (!stream_) return;
  stream_->next_out = static_cast<Bytef*>(data);
  stream_->avail_out = length;
}

void* CZlib::GetNextOut() const {
  return stream_ ? stream_->next_out : nullptr;
}

unsigned CZlib::GetAvailIn() const { return stream_ ? stream_->avail_in : 0; }

unsigned CZlib::GetAvailOut() const { return stream_ ? stream_->avail_out : 0; }

// ---------------------------------------------------------------------------
// Pack writer

namespace {

bool cancelled() { return KXPackFiles::isCanncelled(); }

// Reads until size bytes or the end of the file; -1 on a read error.
ssize_t readFully(int fd, unsigned char* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n =
        base::retryOnEintr([&] { return read(fd, data + done, size - done); });
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool writeFully(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = base::retryOnEintr([&] { return write(fd, data, size); });
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

uint64_t measuredLength(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_size > 0
             ? static_cast<uint64_t>(st.st_size)
             : 0;
}

base::UniqueFd openForReading(const std::string& path) {
  return base::UniqueFd(base::retryOnEintr(
      [&] { return open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
}

// Appends to buffer and tells whether it really grew by size bytes.
bool append(MMapBuf* buffer, const unsigned char* data, size_t size) {
  if (size == 0) return true;
  if (size > static_cast<size_t>(INT_MAX)) return false;
  const int before = buffer->getlen();
  buffer->add(data, static_cast<int>(size));
  return buffer->getlen() == before + static_cast<int64_t>(size);
}

// One compressor and its two piece buffers, set up once and reused for
// every file of a run: setting up deflate state afresh per file costs more
// than compressing a small file.
class Deflater {
 public:
  Deflater()
      : in_(new unsigned char[pf::kPieceSize]),
        out_(new unsigned char[pf::kPieceSize]) {}

  // Deflates everything readable from fd into buffer as one raw deflate
  // stream, in pieces of kPieceSize; the piece that ends the file carries
  // the finish flag (a file whose length is a multiple of the piece size
  // gets one more finishing round without input). bytesRead receives the
  // file's length as read.
  // expected is the file's length as measured before.
  bool compress(int fd, uint64_t expected, MMapBuf* buffer,
                uint32_t* contentCrc, uint32_t* storedCrc,
                uint64_t* bytesRead) {
    *contentCrc = 0;
    *storedCrc = 0;
    *bytesRead = 0;
    const int ready =
        started_ ? compressor_.Reset()
                 : compressor_.Init(pf::kDeflateLevel, pf::kDictionarySize);
    started_ = ready == Z_OK;
    if (!started_ || cancelled()) return false;
    for (;;) {
      const ssize_t got = base::retryOnEintr(
          [&] { return read(fd, in_.get(), pf::kPieceSize); });
      if (got < 0) return false;
      // A short read of a regular file means its end once the length it
      // had when measured is reached; a file that grew meanwhile is read on.
      const bool finish =
          got == 0 || (static_cast<size_t>(got) < pf::kPieceSize &&
                       *bytesRead + static_cast<uint64_t>(got) >= expected);
      *bytesRead += static_cast<uint64_t>(got);
      *contentCrc = myCRC32(*contentCrc, in_.get(), static_cast<size_t>(got));
      compressor_.SetNextIn(in_.get(), static_cast<unsigned>(got));
      do {
        if (cancelled()) return false;
        compressor_.SetNextOut(out_.get(), pf::kPieceSize);
        if (compressor_.Compress(finish) == Z_STREAM_ERROR) return false;
        const size_t produced = pf::kPieceSize - compressor_.GetAvailOut();
        if (!append(buffer, out_.get(), produced)) return false;
        *storedCrc = myCRC32(*storedCrc, out_.get(), produced);
      } while (compressor_.GetAvailOut() == 0);
      if (cancelled()) return false;
      if (finish) break;
    }
    return !cancelled();
  }

 private:
  CZlib compressor_;  // Its destructor ends the stream.
  bool started_ = false;
  std::unique_ptr<unsigned char[]> in_;
  std::unique_ptr<unsigned char[]> out_;
};

// Creates a new empty file beside path (same folder as the system sees
// it) with a random name; the system's file-creation mask applies to mode
// 0666, as for any new file.
base::UniqueFd createSiblingTemp(const std::string& path,
                                 std::string* tempPath) {
  const size_t slash = path.rfind('/');
  const std::string dir =
      slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = KXUtility::tempFileFullPath();
    if (candidate.empty()) return base::UniqueFd();
    const size_t nameStart = candidate.rfind('/') + 1;
    candidate = dir + ".kxpack-" + candidate.substr(nameStart);
    base::UniqueFd fd(base::retryOnEintr([&] {
      return open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                  0666);
    }));
    if (fd.valid()) {
      *tempPath = candidate;
      return fd;
    }
    if (errno != EEXIST) return base::UniqueFd();
  }
  return base::UniqueFd();
}

// Makes sure the folder that holds path exists, creating it with its
// missing parents. A path without "/" lies in the current folder.
bool ensureParentFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  const std::string folder = path.substr(0, slash);
  if (KXUtility::folderExist(folder)) return true;
  if (KXUtility::createMultiDir(folder.c_str())) return true;
  return mkdir(folder.c_str(), 0777) == 0;  // A bare relative name.
}

// Flushes the folder that holds path so that a rename into it survives a
// crash; best effort.
void syncParentFolder(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : path.substr(0, slash + 1);
  base::UniqueFd fd(base::retryOnEintr(
      [&] { return open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (fd.valid()) fsync(fd.get());
}

}  // namespace

bool KXPackFiles::startPack(const std::string& destination,
                            const std::vector<std::string>& folders) {
  MMapBuf buffer;
  if (destination.empty()) return false;
  ScanLists lists = searchVecSingleFileListInFolder(folders);
  if (lists.empty()) return false;

  // An existing destination that cannot be read must not be replaced by a
  // product that lacks its bytes.
  struct stat st;
  if (stat(destination.c_str(), &st) == 0) {
    if (!KXUtility::fileExist(destination)) return false;
    if (!writeFileToMapBuf(destination, &buffer)) return false;
  }

  constexpr uint64_t kNotFound = std::numeric_limits<uint64_t>::max();
  uint64_t headerPos = kNotFound;
  std::unique_ptr<KXPackFiles> pack =
      searchAndRestorePackFiles(destination, &headerPos);
  if (!pack) {
    if (headerPos != kNotFound) return false;  // A pack that is damaged.
    headerPos = static_cast<uint64_t>(buffer.getlen());
    pack = std::make_unique<KXPackFiles>();
    const unsigned char zeros[pf::kHeaderSize] = {};
    if (!append(&buffer, zeros, sizeof zeros)) return false;
  }

  const bool ok =
      startPack_packAllFiles(lists, &buffer, headerPos, pack.get()) &&
      startPack_packConfigureFile(pack.get(), headerPos, &buffer) &&
      startPack_setupPackFileHeader(pack.get(), headerPos, &buffer) &&
      startPack_outputProduct(destination, &buffer);
  return ok && !isCanncelled();
}

bool KXPackFiles::startPack_packAllFiles(const ScanLists& lists,
                                         MMapBuf* buffer, uint64_t headerPos,
                                         KXPackFiles* pack) {
  if (pack == nullptr || buffer == nullptr || lists.empty()) return false;
  for (const auto& list : lists) {
    if (isCanncelled()) break;
    if (!list || list->singleFileCount() == 0) continue;
    auto group = std::make_unique<KXPackGroup>();
    KXPackGroup* added = group.get();
    pack->addPackGroup(std::move(group));
    if (!startPack_packFilesInFolder(list.get(), buffer, headerPos, added)) {
      return false;
    }
  }
  return !isCanncelled();
}

bool KXPackFiles::startPack_packFilesInFolder(
    const KXSingleFileListInFolder* list, MMapBuf* buffer, uint64_t headerPos,
    KXPackGroup* group) {
  if (list == nullptr || buffer == nullptr || group == nullptr) return false;
  Deflater deflater;
  for (size_t i = 0; i < list->singleFileCount(); ++i) {
    if (isCanncelled()) return false;
    const KXSingleFileInFolder* file = list->singleFileAtIndex(i);
    // A sub-path is never cut: one that is too long or cannot be stored
    // fails the run before anything is written.
    const std::string& sub = file->subFilePath();
    if (sub.size() > pf::kMaxSubPathLength ||
        !KXPackSingleFile::canStoreSubPath(sub)) {
      return false;
    }
    const std::string path = file->folderFullPath() + "/" + file->subFilePath();
    auto record = std::make_unique<KXPackSingleFile>();
    // A file that cannot be opened is packed as an empty one.
    base::UniqueFd fd = openForReading(path);
    struct stat st;
    const bool hasBytes = fd.valid() && fstat(fd.get(), &st) == 0 &&
                          S_ISREG(st.st_mode) && st.st_size > 0;
    if (hasBytes) {
      const int start = buffer->getlen();
      uint32_t contentCrc = 0, storedCrc = 0;
      uint64_t length = 0;
      if (!deflater.compress(fd.get(), static_cast<uint64_t>(st.st_size),
                             buffer, &contentCrc, &storedCrc, &length)) {
        return false;
      }
      // The length recorded is the length read, so the index stays true to
      // the stored stream even when the file changed since it was measured.
      if (length > 0) {
        record->setIsCompressed(true);
        record->setFileLength(length);
        record->setCompressedLength(
            static_cast<uint64_t>(buffer->getlen() - start));
        record->setFileOffset(static_cast<uint64_t>(start) - headerPos);
        record->setFileContextCrc32(contentCrc);
        record->setFileContextCompressedCrc32(storedCrc);
      } else {
        buffer->resize(start);  // Emptied meanwhile: store no bytes.
      }
    }
    record->setSubFilePath(file->subFilePath());
    group->addFileRecord(std::move(record));
  }
  return !isCanncelled();
}

bool KXPackFiles::compressFileToMapBuf(const std::string& path, MMapBuf* buffer,
                                       uint32_t* contentCrc,
                                       uint32_t* storedCrc) {
  uint32_t ignoredContent = 0, ignoredStored = 0;
  if (contentCrc == nullptr) contentCrc = &ignoredContent;
  if (storedCrc == nullptr) storedCrc = &ignoredStored;
  *contentCrc = 0;
  *storedCrc = 0;
  if (buffer == nullptr || path.empty()) return false;
  base::UniqueFd fd = openForReading(path);
  if (!fd.valid()) return false;
  uint64_t length = 0;
  return Deflater().compress(fd.get(), measuredLength(fd.get()), buffer,
                             contentCrc, storedCrc, &length);
}

bool KXPackFiles::writeFileToMapBuf(const std::string& path, MMapBuf* buffer) {
  if (buffer == nullptr || path.empty()) return false;
  base::UniqueFd fd = openForReading(path);
  if (!fd.valid()) return false;
  std::unique_ptr<unsigned char[]> piece(new unsigned char[pf::kPieceSize]);
  for (;;) {
    if (isCanncelled()) return false;
    const ssize_t got = readFully(fd.get(), piece.get(), pf::kPieceSize);
    if (got < 0) return false;
    if (!append(buffer, piece.get(), static_cast<size_t>(got))) return false;
    if (static_cast<size_t>(got) < pf::kPieceSize) break;
  }
  return !isCanncelled();
}

bool KXPackFiles::startPack_packConfigureFile(KXPackFiles* pack,
                                              uint64_t headerPos,
                                              MMapBuf* buffer) {
  if (pack == nullptr || buffer == nullptr) return false;
  const std::string path = startPack_outXMLConfigureFile(pack);
  if (path.empty()) return false;
  bool ok = false;
  base::UniqueFd fd = openForReading(path);
  if (fd.valid()) {
    const int start = buffer->getlen();
    uint32_t contentCrc = 0, storedCrc = 0;
    uint64_t length = 0;
    ok = Deflater().compress(fd.get(), measuredLength(fd.get()), buffer,
                             &contentCrc, &storedCrc, &length);
    if (ok) {
      pack->setFileXMLIsCompressed(true);
      pack->setFilesXMLOffset(static_cast<uint64_t>(start) - headerPos);
      pack->setFilesXMLLength(length);
      pack->setFilesXMLCompressLength(
          static_cast<uint64_t>(buffer->getlen() - start));
      pack->setFilesXMLCrc32(contentCrc);
      pack->setFilesXMLCompressCrc32(storedCrc);
    }
  }
  KXUtility::deleteFile(path);
  return ok && !isCanncelled();
}

bool KXPackFiles::startPack_setupPackFileHeader(KXPackFiles* pack,
                                                uint64_t headerPos,
                                                MMapBuf* buffer) {
  if (pack == nullptr || buffer == nullptr) return false;
  if (static_cast<uint64_t>(buffer->getlen()) < headerPos + pf::kHeaderSize) {
    return false;
  }
  void* place = buffer->get(static_cast<int>(headerPos),
                            static_cast<int>(pf::kHeaderSize));
  if (place == nullptr) return false;
  HeaderBlock block = packHeader(pack);
  if (block) std::memcpy(place, block.get(), pf::kHeaderSize);
  buffer->release();
  return block != nullptr;
}

bool KXPackFiles::startPack_outputProduct(const std::string& destination,
                                          MMapBuf* buffer) {
  if (isCanncelled() || buffer == nullptr || buffer->getlen() == 0) {
    return false;
  }
  if (!ensureParentFolder(destination)) return false;
  if (isCanncelled()) return false;
  return mapBufToFile(destination, buffer, 0, buffer->getlen(), nullptr);
}

bool KXPackFiles::mapBufToFile(const std::string& path, MMapBuf* buffer,
                               int64_t offset, int64_t length,
                               uint32_t* checksum) {
  if (checksum != nullptr) *checksum = 0;
  if (buffer == nullptr || path.empty() || offset < 0 || length < 0 ||
      offset + length > buffer->getlen()) {
    return false;
  }
  if (!ensureParentFolder(path)) return false;
  std::string tempPath;
  base::UniqueFd fd = createSiblingTemp(path, &tempPath);
  if (!fd.valid()) return false;

  uint32_t crc = 0;
  bool ok = true;
  if (checksum == nullptr && !isCanncelled()) {
    // Nothing to compute on the way: let the buffer hand its bytes to the
    // file directly, in pieces so that a cancel still stops it.
    constexpr int64_t kCopyPiece = 16 << 20;
    for (int64_t done = 0; ok && done < length; done += kCopyPiece) {
      const int size =
          static_cast<int>(std::min<int64_t>(kCopyPiece, length - done));
      ok = buffer->writeRangeTo(fd.get(), static_cast<int>(offset + done),
                                size) &&
           !isCanncelled();
    }
  } else {
    buffer->setro(true);
    for (int64_t done = 0; ok && done < length;) {
      const int size =
          static_cast<int>(std::min<int64_t>(pf::kPieceSize, length - done));
      const auto* piece = static_cast<const unsigned char*>(
          buffer->get(static_cast<int>(offset + done), size));
      ok = piece != nullptr && writeFully(fd.get(), piece, size);
      if (ok && checksum != nullptr) crc = myCRC32(crc, piece, size);
      buffer->release();
      done += size;
      if (isCanncelled()) ok = false;
    }
    buffer->setro(false);
  }

  ok = ok && fsync(fd.get()) == 0;
  ok = (close(fd.release()) == 0) && ok;
  ok = ok && !isCanncelled() && rename(tempPath.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(tempPath.c_str());
    return false;
  }
  syncParentFolder(path);
  if (checksum != nullptr) *checksum = crc;
  return true;
}
