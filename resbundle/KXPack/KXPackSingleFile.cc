#include "resbundle/KXPack/KXPackSingleFile.h"

#include <tinyxml2.h>

using tinyxml2::XMLElement;

bool KXPackSingleFile::canStoreSubPath(const std::string& subPath) {
  return subPath.find("]]>") == std::string::npos &&
         subPath.find('\r') == std::string::npos;
}

tinyxml2::XMLElement* KXPackSingleFile::singleFileXMLElement(
    const KXPackSingleFile* record, tinyxml2::XMLDocument* document) {
  if (record == nullptr || document == nullptr) return nullptr;
  XMLElement* element = document->NewElement("singleFile");
  element->SetAttribute("majorVer", record->majorVersion_);
  element->SetAttribute("minorVer", record->minorVersion_);
  element->SetAttribute("isCompressed", record->compressed_);
  element->SetAttribute("fileLength", record->fileLength_);
  element->SetAttribute("compressLength", record->compressedLength_);
  element->SetAttribute("fileOffset", record->fileOffset_);
  element->SetAttribute("fileConctextCrc32", record->contentCrc32_);
  element->SetAttribute("fileContextCompressCrc32", record->storedCrc32_);
  XMLElement* path = document->NewElement("subFilePath");
  tinyxml2::XMLText* text = document->NewText(record->subFilePath_.c_str());
  text->SetCData(true);
  path->InsertEndChild(text);
  element->InsertEndChild(path);
  return element;
}

std::unique_ptr<KXPackSingleFile> KXPackSingleFile::buildPackSingleFile(
    const tinyxml2::XMLElement* element) {
  if (element == nullptr) return nullptr;
  auto record = std::make_unique<KXPackSingleFile>();
  // Each query leaves its value untouched when the attribute is missing or
  // unreadable; zero-initialised locals give the documented defaults.
  int major = 0, minor = 0;
  bool compressed = false;
  uint64_t length = 0, compressedLength = 0, offset = 0;
  unsigned contentCrc = 0, storedCrc = 0;
  element->QueryIntAttribute("majorVer", &major);
  element->QueryIntAttribute("minorVer", &minor);
  element->QueryBoolAttribute("isCompressed", &compressed);
  element->QueryUnsigned64Attribute("fileLength", &length);
  element->QueryUnsigned64Attribute("compressLength", &compressedLength);
  element->QueryUnsigned64Attribute("fileOffset", &offset);
  element->QueryUnsignedAttribute("fileConctextCrc32", &contentCrc);
  element->QueryUnsignedAttribute("fileContextCompressCrc32", &storedCrc);
  record->majorVersion_ = major;
  record->minorVersion_ = minor;
  record->compressed_ = compressed;
  record->fileLength_ = length;
  record->compressedLength_ = compressedLength;
  record->fileOffset_ = offset;
  record->contentCrc32_ = contentCrc;
  record->storedCrc32_ = storedCrc;
  if (const XMLElement* path = element->FirstChildElement("subFilePath")) {
    const tinyxml2::XMLNode* first = path->FirstChild();
    if (first != nullptr && first->ToText() != nullptr &&
        first->Value() != nullptr) {
      record->subFilePath_ = first->Value();
    }
  }
  return record;
}
