// AtomicWrite: replaces a file with new content so that a reader (or a
// crash) sees either the old file or the complete new one, never a half.
//
// The content goes to a fresh temporary file in the destination's folder
// (unique name, created exclusively, close-on-exec), is flushed to disk
// with fsync, and is then renamed over the destination. On any failure the
// temporary file is removed and the destination is left as it was.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "bookseal/fileio/FileError.h"

namespace bookseal {

// Writes the pieces, in order, as the new content of path. The new file
// gets the default permissions (0666 less the umask). Empty pieces are
// allowed. True on success.
bool writeFileAtomically(const std::string& path,
                         std::span<const std::span<const uint8_t>> pieces,
                         FileError* error);

}  // namespace bookseal
