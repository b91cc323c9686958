// The XML index: the document the writer makes and how documents are
// read back into groups and records.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "resbundle/KXPack/KXPackFiles.h"
#include "resbundle/tests/pack_test_support.h"

namespace {

std::unique_ptr<KXPackSingleFile> record(const std::string& sub,
                                         uint64_t length, uint64_t offset) {
  auto r = std::make_unique<KXPackSingleFile>();
  r->setSubFilePath(sub);
  r->setFileLength(length);
  r->setIsCompressed(length > 0);
  r->setCompressedLength(length ? length + 5 : 0);
  r->setFileOffset(offset);
  r->setFileContextCrc32(length ? 4000000000u : 0);
  r->setFileContextCompressedCrc32(length ? 7 : 0);
  return r;
}

// Parses text as an index; null when buildPackHeaderDetail fails.
std::unique_ptr<KXPackFiles> parse(const std::string& text) {
  std::FILE* f = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  auto pack = std::make_unique<KXPackFiles>();
  const bool ok = KXPackFiles::buildPackHeaderDetail(f, pack.get());
  std::fclose(f);
  return ok ? std::move(pack) : nullptr;
}

TEST(PackIndex, WrittenDocument) {
  KXPackFiles pack;
  auto group = std::make_unique<KXPackGroup>();
  group->addFileRecord(record("a.txt", 10, 460));
  group->addFileRecord(record("sub/é & <b>.txt", 0, 0));
  group->addFileRecord(nullptr);
  pack.addPackGroup(std::move(group));

  const std::string path = KXPackFiles::startPack_outXMLConfigureFile(&pack);
  ASSERT_FALSE(path.empty());
  const std::string text = *packtest::readFile(path);
  std::remove(path.c_str());

  EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
  EXPECT_NE(text.find("<filegroup majorVer=\"1\" minorVer=\"1\" "
                      "fileCount=\"2\">"),
            std::string::npos);
  EXPECT_NE(text.find("<singleFile majorVer=\"1\" minorVer=\"1\" "
                      "isCompressed=\"true\" fileLength=\"10\" "
                      "compressLength=\"15\" fileOffset=\"460\" "
                      "fileConctextCrc32=\"4000000000\" "
                      "fileContextCompressCrc32=\"7\">"),
            std::string::npos);
  EXPECT_NE(text.find("isCompressed=\"false\" fileLength=\"0\" "
                      "compressLength=\"0\" fileOffset=\"0\" "
                      "fileConctextCrc32=\"0\" fileContextCompressCrc32=\"0\""),
            std::string::npos);
  EXPECT_NE(text.find("<subFilePath><![CDATA[a.txt]]></subFilePath>"),
            std::string::npos);
  EXPECT_NE(text.find("<![CDATA[sub/é & <b>.txt]]>"), std::string::npos);

  auto back = parse(text);
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(back->packGroupCount(), 1u);
  const KXPackGroup* g = back->packGroupAtIndex(0);
  EXPECT_TRUE(g->isFromXMLFile());
  ASSERT_EQ(g->fileRecordCount(), 2u);
  const KXPackSingleFile* r = g->fileRecordAtIndex(0);
  EXPECT_EQ(r->subFilePath(), "a.txt");
  EXPECT_TRUE(r->isCompressed());
  EXPECT_EQ(r->fileLength(), 10u);
  EXPECT_EQ(r->compressedLength(), 15u);
  EXPECT_EQ(r->fileOffset(), 460u);
  EXPECT_EQ(r->fileContextCrc32(), 4000000000u);
  EXPECT_EQ(r->fileContextCompressedCrc32(), 7u);
  EXPECT_EQ(g->fileRecordAtIndex(1)->subFilePath(), "sub/é & <b>.txt");
  EXPECT_EQ(g->fileRecordAtIndex(2), nullptr);
}

TEST(PackIndex, ReadingDocuments) {
  const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
  const struct {
    const char* name;
    std::string text;
    bool ok;
    std::vector<std::vector<std::string>> groups;  // Sub-paths per group.
  } kCases[] = {
      {"fileCount is not trusted",
       decl + "<fileGroupList><filegroup fileCount=\"5\">"
              "<singleFile><subFilePath><![CDATA[a]]></subFilePath>"
              "</singleFile><singleFile><subFilePath><![CDATA[b]]>"
              "</subFilePath></singleFile></filegroup></fileGroupList>",
       true,
       {{"a", "b"}}},
      {"records start at the first singleFile, then any element",
       decl + "<fileGroupList><filegroup><other/>"
              "<singleFile><subFilePath>x</subFilePath></singleFile>"
              "<stranger/></filegroup></fileGroupList>",
       true,
       {{"x", ""}}},
      {"empty or missing sub-path",
       decl + "<fileGroupList><filegroup><singleFile><subFilePath/>"
              "</singleFile><singleFile/></filegroup></fileGroupList>",
       true,
       {{"", ""}}},
      {"other root", decl + "<groups><filegroup/></groups>", false, {}},
      {"not XML", "<fileGroupList><filegroup>", false, {}},
      {"no groups", decl + "<fileGroupList/>", true, {}},
      {"other elements between groups, whitespace anywhere",
       decl + "\n\n<fileGroupList>\n <note/>\n <filegroup>\n  <singleFile>"
              "<subFilePath><![CDATA[1]]></subFilePath></singleFile>\n"
              " </filegroup>\n <filegroup/>\n</fileGroupList>\n",
       true,
       {{"1"}, {}}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    auto pack = parse(c.text);
    ASSERT_EQ(pack != nullptr, c.ok);
    if (!pack) continue;
    ASSERT_EQ(pack->packGroupCount(), c.groups.size());
    for (size_t g = 0; g < c.groups.size(); ++g) {
      const KXPackGroup* group = pack->packGroupAtIndex(g);
      ASSERT_EQ(group->fileRecordCount(), c.groups[g].size());
      for (size_t r = 0; r < c.groups[g].size(); ++r) {
        EXPECT_EQ(group->fileRecordAtIndex(r)->subFilePath(), c.groups[g][r]);
      }
    }
  }
}

TEST(PackIndex, UnreadableAttributesReadAsZero) {
  auto pack = parse(
      "<fileGroupList><filegroup majorVer=\"x\"><singleFile majorVer=\"2\" "
      "isCompressed=\"maybe\" fileLength=\"ten\" fileOffset=\"99999999999\" "
      "fileConctextCrc32=\"4294967296\"/></filegroup></fileGroupList>");
  ASSERT_NE(pack, nullptr);
  const KXPackGroup* g = pack->packGroupAtIndex(0);
  EXPECT_EQ(g->majorVersion(), 0);
  const KXPackSingleFile* r = g->fileRecordAtIndex(0);
  EXPECT_EQ(r->majorVersion(), 2);
  EXPECT_EQ(r->minorVersion(), 0);
  EXPECT_FALSE(r->isCompressed());
  EXPECT_EQ(r->fileLength(), 0u);
  EXPECT_EQ(r->fileOffset(), 99999999999u);
  EXPECT_EQ(r->fileContextCrc32(), 0u);
}

TEST(PackIndex, CancelledWriteGivesNoFile) {
  KXPackFiles pack;
  pack.addPackGroup(std::make_unique<KXPackGroup>());
  KXPackFiles::setIsCanncelled(true);
  EXPECT_EQ(KXPackFiles::startPack_outXMLConfigureFile(&pack), "");
  KXPackFiles::setIsCanncelled(false);
}

}  // namespace
