#include "bookseal/KXWORK.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <span>
#include <system_error>
#include <utility>

#include "bookseal/crypto/RC4.h"
#include "bookseal/crypto/SHA256.h"
#include "bookseal/encrypt/qmcrpt.h"
#include "bookseal/encrypt/qmdecrpt.h"
#include "bookseal/fileio/AtomicWrite.h"
#include "bookseal/fileio/Paths.h"
#include "bookseal/fileio/WholeFile.h"

using bookseal::ByteBuffer;
using bookseal::kHeaderSize;

namespace {

constexpr int kDone = 0;
constexpr int kBadSource = 2;
constexpr int kBadDestination = 3;
constexpr int kFailed = -1;

// Room for the longest key a header can carry (64 bytes) and then some;
// the reader needs one byte more than the key.
constexpr int32_t kKeyBufferSize = 128;

bool isSameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when removing the entry at the destination (dstInfo describes the
// entry itself, links not followed) would take the source with it: it is
// the source, or a folder that holds the source at any depth. The book
// must survive until the result has replaced it.
bool removalWouldLoseSource(const std::string& src, const struct stat& srcInfo,
                            const struct stat& dstInfo) {
  if (isSameFile(srcInfo, dstInfo)) return true;
  if (!S_ISDIR(dstInfo.st_mode)) return false;
  std::unique_ptr<char, decltype(&::free)> resolved(
      ::realpath(src.c_str(), nullptr), &::free);
  // Without the source's real place it cannot be shown that the folder
  // does not hold it, so the folder stays.
  if (!resolved) return true;
  std::string ancestor = resolved.get();
  while (ancestor != "/") {
    ancestor = bookseal::folderOf(ancestor);
    struct stat info;
    if (::stat(ancestor.c_str(), &info) == 0 && isSameFile(info, dstInfo)) {
      return true;
    }
  }
  return false;
}

// The old destination goes before the job; whether that works does not
// matter, since the atomic write replaces whatever is left (or fails).
void removeOldDestination(const std::string& src, const struct stat& srcInfo,
                          const std::string& dst) {
  struct stat dstInfo;
  if (::lstat(dst.c_str(), &dstInfo) != 0) return;
  if (removalWouldLoseSource(src, srcInfo, dstInfo)) return;
  if (S_ISDIR(dstInfo.st_mode)) {
    std::error_code ignored;
    std::filesystem::remove_all(dst, ignored);
    return;
  }
  ::unlink(dst.c_str());
}

// The plain book to seal. Anything that is not a regular file (a folder,
// say) has nothing to read and seals to the header alone. A regular file
// that cannot be read whole is a failure: sealing part of it, or nothing,
// and reporting success would lose the book.
std::optional<ByteBuffer> readSourceForSealing(const std::string& src) {
  std::optional<bookseal::OpenedFile> opened =
      bookseal::openForReading(src, nullptr);
  if (!opened) {
    struct stat info;
    if (::stat(src.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      return std::nullopt;
    }
    return ByteBuffer();
  }
  if (!opened->isRegular) return ByteBuffer();
  return bookseal::readExactly(opened->fd.get(), 0, opened->size, src, nullptr);
}

std::span<const uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

bool writeResult(const std::string& dst,
                 std::span<const std::span<const uint8_t>> pieces) {
  return bookseal::writeFileAtomically(dst, pieces, nullptr);
}

}  // namespace

int KXWORK::checkEncryptArgument(const std::string& src,
                                 const std::string& dst) {
  struct stat srcInfo;
  if (src.empty() || ::stat(src.c_str(), &srcInfo) != 0) return kBadSource;
  if (dst.empty()) return kBadDestination;
  removeOldDestination(src, srcInfo, dst);
  const std::string folder = bookseal::folderOf(dst);
  if (bookseal::pathExists(folder)) return kDone;
  return bookseal::createFolders(folder) ? kDone : kBadDestination;
}

int KXWORK::encryptFile(const std::string& src, const std::string& dst) {
  return encryptFileWithKeyText(src, dst, keyTextForDate(currentDateText()));
}

int KXWORK::encryptFileWithKeyText(const std::string& src,
                                   const std::string& dst,
                                   const std::string& keyText) {
  const int checked = checkEncryptArgument(src, dst);
  if (checked != kDone) return checked;

  // A zero byte would cut the key the header carries short of the key
  // the body is encrypted with.
  if (keyText.find('\0') != std::string::npos) return kFailed;
  std::array<uint8_t, kHeaderSize> header;
  if (qmcrpt_bookbin_header(keyText.c_str(), header.data(),
                            static_cast<int32_t>(header.size())) !=
      static_cast<int32_t>(kHeaderSize)) {
    return kFailed;
  }

  std::optional<ByteBuffer> body = readSourceForSealing(src);
  if (!body) return kFailed;
  if (!body->empty()) {
    body = bookseal::RC4EncryptedDataUsingKey(std::move(*body),
                                              bytesOf(keyText), nullptr);
    if (!body) return kFailed;
  }

  const std::span<const uint8_t> pieces[] = {header, body->bytes()};
  return writeResult(dst, pieces) ? kDone : kFailed;
}

int KXWORK::decryptFile(const std::string& src, const std::string& dst) {
  const int checked = checkEncryptArgument(src, dst);
  if (checked != kDone) return checked;

  std::optional<bookseal::OpenedFile> opened =
      bookseal::openForReading(src, nullptr);
  if (!opened || !opened->isRegular) return kFailed;
  // The header is looked at before the whole file is read, so that
  // something that is not a sealed book costs no more than 144 bytes.
  std::array<uint8_t, kHeaderSize> header;
  const std::optional<size_t> headerLength =
      bookseal::readAt(opened->fd.get(), 0, header, src, nullptr);
  if (!headerLength || !keyTextOfHeader(header.data(), *headerLength)) {
    return kFailed;
  }
  if (opened->size >= bookseal::kMaxSealedFileSize ||
      opened->size <= kHeaderSize) {
    return kFailed;
  }

  std::optional<ByteBuffer> file =
      bookseal::readExactly(opened->fd.get(), 0, opened->size, src, nullptr);
  if (!file) return kFailed;
  opened->fd.reset();
  std::optional<ByteBuffer> body = unsealedBody(std::move(*file));
  if (!body) return kFailed;

  const std::span<const uint8_t> pieces[] = {body->bytes()};
  return writeResult(dst, pieces) ? kDone : kFailed;
}

std::optional<ByteBuffer> KXWORK::unsealedBody(ByteBuffer sealedFile) {
  if (sealedFile.size() >= bookseal::kMaxSealedFileSize) return std::nullopt;
  const std::optional<std::string> keyText =
      keyTextOfHeader(sealedFile.data(), sealedFile.size());
  if (!keyText) return std::nullopt;
  if (sealedFile.size() <= kHeaderSize) return std::nullopt;
  sealedFile.removePrefix(kHeaderSize);
  return bookseal::RC4EncryptedDataUsingKey(std::move(sealedFile),
                                            bytesOf(*keyText), nullptr);
}

std::optional<std::string> KXWORK::keyTextOfHeader(const uint8_t* header,
                                                   size_t headerLength) {
  const auto length = static_cast<int32_t>(
      std::min<size_t>(headerLength, std::numeric_limits<int32_t>::max()));
  char key[kKeyBufferSize] = {};
  if (qmdecrpt_bookbin_header(header, length, key, kKeyBufferSize) <= 0) {
    return std::nullopt;
  }
  return std::string(key, strnlen(key, sizeof key));
}

std::string KXWORK::keyTextForDate(std::string_view dateText) {
  const bookseal::SHA256Digest digest = bookseal::sha256(
      {reinterpret_cast<const uint8_t*>(dateText.data()), dateText.size()});
  std::string text(bookseal::kToolKeyTextLength, '\0');
  constexpr char kLowerHex[] = "0123456789abcdef";
  for (size_t i = 0; i < bookseal::kToolKeyTextLength / 2; ++i) {
    text[2 * i] = kLowerHex[digest[i] >> 4];
    text[2 * i + 1] = kLowerHex[digest[i] & 0x0F];
  }
  return text;
}

std::string KXWORK::currentDateText() {
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm parts;
  ::gmtime_r(&now.tv_sec, &parts);
  char seconds[32];
  std::strftime(seconds, sizeof seconds, "%Y-%m-%d %H:%M:%S", &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%s.%09ld +0000", seconds,
                static_cast<long>(now.tv_nsec));
  return text;
}
