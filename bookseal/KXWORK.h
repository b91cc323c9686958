// KXWORK: the sealing tool's two jobs, sealing a book file and unsealing
// it, and the path checks both run first. Class-level operations only;
// nothing is kept between calls. Results are the tool's exit statuses:
//
//   0   done
//   2   source path empty, or nothing exists at it
//   3   destination path empty, or its folder cannot be created
//   -1  the job failed after the checks (bad header, empty body, failed
//       read or write, ...); no destination is left behind then, except
//       when the destination is the source itself, which stays untouched
//
// Sealed file layout: bookseal/encrypt/SealedFormat.h. Every result is
// written atomically (see fileio/AtomicWrite.h), so a destination that
// names the source is replaced only once the result is safely on disk.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "bookseal/ByteBuffer.h"
#include "bookseal/encrypt/SealedFormat.h"

class KXWORK {
 public:
  KXWORK() = delete;

  // Checks the paths and prepares the destination. Returns 2 when src is
  // empty or nothing exists at it (nothing is touched then), 3 when dst is
  // empty. Otherwise removes whatever exists at dst (a folder with all it
  // holds), unless that would remove the source: dst is the source itself
  // or a folder that holds it. Then makes sure dst's folder exists,
  // creating it and its parents if needed: 0 when it exists, else 3.
  static int checkEncryptArgument(const std::string& src,
                                  const std::string& dst);

  // Seals the file at src into dst under a fresh key text made from the
  // current date and time. Returns 0, -1 or the checks' code. A folder, or
  // anything else that is not a regular file, seals to the header alone;
  // a regular file that cannot be read fails with -1.
  static int encryptFile(const std::string& src, const std::string& dst);

  // Unseals the sealed file at src into dst. Returns 0, -1 or the checks'
  // code. Fails with -1 on a wrong magic or a key field that cannot be
  // read, when the file has no body, or when it is 2 GiB or longer. A wrong
  // key or a damaged body is not detected (RC4 has no integrity check).
  static int decryptFile(const std::string& src, const std::string& dst);

  // encryptFile with a given key text instead of one made from the clock,
  // so that sealing can be reproduced. The key text must be acceptable to
  // qmcrpt_bookbin_header (a multiple of 8 bytes, 8 to 64 bytes, no zero
  // byte); otherwise -1 after the checks.
  static int encryptFileWithKeyText(const std::string& src,
                                    const std::string& dst,
                                    const std::string& keyText);

  // The key text for a date text: the first 16 bytes of the text's SHA-256
  // digest as 32 lowercase hexadecimal characters.
  static std::string keyTextForDate(std::string_view dateText);

  // The current date and time as text, e.g.
  // "2024-05-01 10:20:30.123456789 +0000" (UTC, to the nanosecond, so two
  // sealings never share a key unless they start in the same nanosecond).
  static std::string currentDateText();

  // The in-memory part of unsealing: takes a whole sealed file and returns
  // its body decrypted in place, or nullopt when the header is refused,
  // there is no body, the file is 2 GiB or longer, or the key is empty.
  static std::optional<bookseal::ByteBuffer> unsealedBody(
      bookseal::ByteBuffer sealedFile);

  // The key text carried by the first headerLength bytes of a sealed file,
  // up to its first zero byte, or nullopt when qmdecrpt_bookbin_header
  // refuses the header.
  static std::optional<std::string> keyTextOfHeader(const uint8_t* header,
                                                    size_t headerLength);
};
