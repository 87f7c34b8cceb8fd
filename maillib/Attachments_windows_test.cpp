// Windows' reserved device names, which a path to any directory may end in.
#include <gtest/gtest.h>

#include "maillib/Attachments.h"
#include "rtl/Exception.h"
#include "testing/TempDir.h"

namespace {

// The console would block the worker and NUL compose empty, so they are refused as files that
// cannot be opened, also when a path leads to them.
TEST(AttachmentDeviceTest, ADeviceNameIsNoRegularFile) {
  testing_support::MachineRoot root;
  testing_support::TempDir dir;
  maillib::TmsAttList list;
  for (const std::string& path : {std::string("CON"), std::string("NUL"), dir / "COM1"}) {
    EXPECT_THROW(list.AddFile(path), rtl::EFOpenError) << path;
  }
  EXPECT_EQ(list.Count(), 0);
}

}  // namespace
