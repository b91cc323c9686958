#include "resbundle/KXPack/PackFiles.h"

#include <string>
#include <vector>

#include "resbundle/KXPack/KXPackFiles.h"

namespace {

bool present(const char* text) { return text != nullptr && *text != '\0'; }

}  // namespace

bool startPack(const char* dstFilePath, const char* resourceFolder) {
  if (!present(dstFilePath) || !present(resourceFolder)) return false;
  return KXPackFiles::startPack(dstFilePath,
                                std::vector<std::string>{resourceFolder});
}

bool startPack_debug(const char* dstFilePath, const char* resourceFolder) {
  return present(dstFilePath) && present(resourceFolder);
}

bool startUnpack(const char* packFilePath, const char* dstFolder) {
  if (!present(packFilePath) || !present(dstFolder)) return false;
  return KXPackFiles::startUnpack(packFilePath, dstFolder);
}

bool startUnpack_debug(const char* packFilePath, const char* dstFolder) {
  return present(packFilePath) && present(dstFolder);
}

void setIsCanncelled(bool flag) { KXPackFiles::setIsCanncelled(flag); }

bool isCanncelled() { return KXPackFiles::isCanncelled(); }
