#include "maillib/Attachments.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "rtl/Exception.h"
#include "rtl/Registry.h"
#include "testing/TempDir.h"

namespace {

class AttachmentsTest : public ::testing::Test {
 protected:
  void Register(const char* extension, const char* type) {
    rtl::TRegistry reg;
    reg.SetRootKey(HKEY_CLASSES_ROOT);
    ASSERT_TRUE(reg.OpenKey(extension, true));
    reg.WriteString("Content Type", type);
  }
  testing_support::MachineRoot root_;
  testing_support::TempDir dir_;
};

TEST_F(AttachmentsTest, TheTypeComesFromTheRegistryThenTheSystemTable) {
  EXPECT_EQ(maillib::ContentTypeOfFile("notes.txt"), "text/plain");
  EXPECT_EQ(maillib::ContentTypeOfFile("/x/page.htm"), "text/html");
  EXPECT_EQ(maillib::ContentTypeOfFile("REPORT.PDF"), "application/pdf");
  EXPECT_EQ(maillib::ContentTypeOfFile("a.zip"), "application/zip");
  EXPECT_EQ(maillib::ContentTypeOfFile("a.nosuchext"), "application/octet-stream");
  EXPECT_EQ(maillib::ContentTypeOfFile("no-extension"), "application/octet-stream");
  Register(".pdf", "application/x-registered");
  Register(".lark", "message/rfc822");
  EXPECT_EQ(maillib::ContentTypeOfFile("REPORT.PDF"), "application/x-registered");
  EXPECT_EQ(maillib::ContentTypeOfFile("x.lark"), "message/rfc822");
}

TEST_F(AttachmentsTest, TheTypeDecidesTheEncoding) {
  Register(".eml", "message/rfc822");
  Register(".cst", "text/plain; charset=utf-8");
  Register(".rtf", "text/rtf");
  struct Case {
    const char* name;
    maillib::TAttEncoding encoding;
  } cases[] = {{"a.txt", maillib::aeQuotedPrintable}, {"a.html", maillib::aeQuotedPrintable},
               {"a.rtf", maillib::aeQuotedPrintable}, {"a.eml", maillib::ae7Bit},
               {"a.cst", maillib::aeBase64},          {"a.bin", maillib::aeBase64}};
  for (const auto& c : cases) {
    dir_.WriteFile(c.name, "data");
    maillib::TmsAttList list;
    auto& item = list.AddFile(dir_ / c.name);
    EXPECT_EQ(item.Encoding, c.encoding) << c.name;
    EXPECT_EQ(item.Bytes(), "data");
  }
  EXPECT_STREQ(maillib::EncodingToken(maillib::aeQuotedPrintable), "Quoted-Printable");
}

TEST_F(AttachmentsTest, AnUnreadableFileAddsNothing) {
  maillib::TmsAttList list;
  try {
    list.AddFile(dir_ / "missing.pdf");
    FAIL();
  } catch (const rtl::EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file " + (dir_ / "missing.pdf"));
  }
  EXPECT_EQ(list.Count(), 0);
  maillib::TmsAttItem item;
  item.ContentType = "kept/type";
  item.SetFileName("");
  EXPECT_EQ(item.ContentType.str(), "kept/type");
}

// A folder would compose empty, so it is refused as a file that cannot be opened.
TEST_F(AttachmentsTest, OnlyRegularFilesAreAttached) {
  std::filesystem::create_directory(dir_ / "folder.txt");
  dir_.WriteFile("real.txt", "data");
  maillib::TmsAttList list;
  try {
    list.AddFile(dir_ / "folder.txt");
    ADD_FAILURE() << "a folder was attached";
  } catch (const rtl::EFOpenError& e) {
    EXPECT_EQ(e.Message(), "Cannot open file " + (dir_ / "folder.txt"));
  }
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.AddFile(dir_ / "real.txt").Bytes(), "data");
  // A file replaced by something else after it was added fails when it is read.
  std::filesystem::remove(dir_ / "real.txt");
  std::filesystem::create_directory(dir_ / "real.txt");
  EXPECT_THROW(list.Items(0).Bytes(), rtl::EFOpenError);
}

// However the encoders ask for them, across block ends and after a seek back, the bytes come out
// as the file holds them.
TEST_F(AttachmentsTest, ReadsOfAnySizeGiveTheFileAsItIs) {
  std::string bytes(200000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
  dir_.WriteFile("big.bin", bytes);
  maillib::TmsAttList list;
  rtl::TStream& data = list.AddFile(dir_ / "big.bin").Data();
  for (size_t piece : {1, 57, 65535, 65536, 100001}) {
    for (int64_t from : {0, 65530}) {
      std::string got, buffer(piece, '\0');
      data.SetPosition(0);
      data.Read(buffer.data(), piece);  // leaves the rest of a block unread
      data.SetPosition(from);
      for (size_t n; (n = data.Read(buffer.data(), piece)) > 0;) got.append(buffer, 0, n);
      EXPECT_EQ(got, bytes.substr(static_cast<size_t>(from))) << piece << " from " << from;
    }
  }
}

TEST_F(AttachmentsTest, AssignCopiesTheBytes) {
  dir_.WriteFile("a.bin", std::string("\0\1\2", 3));
  maillib::TmsAttList list, copy;
  list.AddFile(dir_ / "a.bin");
  copy.Assign(list);
  list.Items(0).SetBytes("");
  dir_.WriteFile("a.bin", "changed");
  EXPECT_EQ(copy.Items(0).Bytes(), std::string("\0\1\2", 3));
  EXPECT_EQ(copy.Items(0).FileName.str(), dir_ / "a.bin");
}

}  // namespace
