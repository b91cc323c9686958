// PackFiles: the pack core's plain entry points, the only functions the
// front end calls. Each job runs entirely on the calling thread and reports
// a boolean; setIsCanncelled may be called from any thread at any time.
#pragma once

// Appends a pack of resourceFolder's files to the existing file at
// dstFilePath, or merges them into the pack it already holds. True when the
// product was written completely and no cancel was raised. False at once
// when either argument is null or empty.
bool startPack(const char* dstFilePath, const char* resourceFolder);
// True without doing any work when both arguments are non-null and
// non-empty, false otherwise.
bool startPack_debug(const char* dstFilePath, const char* resourceFolder);

// Restores every file of the pack found in packFilePath below dstFolder.
// True when the pack was found, every file was restored and no cancel was
// raised. False at once when either argument is null or empty.
bool startUnpack(const char* packFilePath, const char* dstFolder);
// True without doing any work when both arguments are non-null and
// non-empty, false otherwise.
bool startUnpack_debug(const char* packFilePath, const char* dstFolder);

// Sets both process-wide cancel flags. Raising them makes a running job
// stop at its next check and return false; the core never lowers them.
void setIsCanncelled(bool flag);
// The pack core's cancel flag.
bool isCanncelled();
