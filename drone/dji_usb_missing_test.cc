// The USB library as found beside the executable: one that lacks an entry
// point is let go and the search goes on over the serial ports, and a
// privileged process refuses a library that others could have changed.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "drone/dji_test_support.h"
#include "platform/dynlib.h"
#include "platform/files.h"

namespace halvex {
namespace {

using testing::joined;

class DjiUsbMissingTest : public testing::DjiLinkTest {};

TEST_F(DjiUsbMissingTest, LibraryWithoutAnEntryPointIsUnloadedAndSerialSearchFollows) {
  const std::string path = exe_dir() + "/libusb0.so";
  for (int attempt = 0; attempt < 2; attempt++) {
    SCOPED_TRACE(attempt);
    size_t from = mark();
    Json r = connect();
    EXPECT_EQ(json_get_string(r.get(), "message"), "No DJI device found");
    std::vector<std::string> log = log_lines(from);
    EXPECT_EQ(log.at(1), "Scanning COM ports...") << joined(log);  // no USB line at all
    EXPECT_EQ(::dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "the library is still loaded";
  }
  std::string service = service_log();
  EXPECT_EQ(service.find("libusb0.dll loaded"), std::string::npos) << service;
  EXPECT_EQ(service.find("libusb0.dll not found"), std::string::npos);
}

TEST(DynlibTest, RootTakesOnlyALibraryNobodyElseCanChange) {
  if (::geteuid() != 0) GTEST_SKIP() << "only a privileged process checks the owner";
  const std::string path = exe_dir() + "/libusb0.so";
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  std::string error;
  {
    DynLibPtr lib = dynlib_open_beside_exe("libusb0.so", &error);
    ASSERT_TRUE(lib) << error;
    EXPECT_TRUE(dynlib_symbol(*lib, "usb_init"));
    EXPECT_FALSE(dynlib_symbol(*lib, "usb_bulk_read"));
  }
  for (mode_t extra : {S_IWGRP, S_IWOTH}) {
    ASSERT_EQ(::chmod(path.c_str(), (st.st_mode & 07777) | extra), 0);
    DynLibPtr lib = dynlib_open_beside_exe("libusb0.so", &error);
    ::chmod(path.c_str(), st.st_mode & 07777);
    EXPECT_FALSE(lib);
    EXPECT_NE(error.find("not owned by root or writable by others"), std::string::npos) << error;
  }
  EXPECT_FALSE(dynlib_open_beside_exe("no-such-library.so", &error));
}

}  // namespace
}  // namespace halvex
