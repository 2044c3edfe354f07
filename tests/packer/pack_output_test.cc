// The Windows build of the packer where only Windows can show it: an output that another
// program holds open (virus scanners open every new file) is waited for a few seconds before the
// packer gives up, and the old output is never lost either way.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "testing/setup_report_support.h"
#include "testing/test_support.h"

namespace {

using testing_support::FakeSetupPath;
using testing_support::ReadFileBytes;
using testing_support::RunCommand;
using testing_support::ScratchDir;
using testing_support::TestDirectory;
using testing_support::WriteFileBytes;

TEST(PackerOnWindows, AnOutputHeldOpenIsWaitedForThenRefused) {
  const struct {
    DWORD held_ms;
    DWORD exit_code;
    const char* left;  // what --output holds afterwards: the old file, or not it
  } cases[] = {{1500, 0, nullptr}, {8000, 2, "old installer"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.held_ms);
    ScratchDir dir(L"pack_held_output");
    const std::wstring output = dir / L"held.exe";
    ASSERT_TRUE(WriteFileBytes(output, "old installer"));
    // Open without delete sharing, as a scanner opens a file: nothing can replace it meanwhile.
    HANDLE held = CreateFileW(output.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    std::thread release([&] {
      Sleep(c.held_ms);
      CloseHandle(held);
    });
    const DWORD code = RunCommand(L"\"" + TestDirectory() + L"..\\bin\\tamrel-pack.exe\" --output \"" +
                                  output + L"\" --archive \"" + TestDirectory() +
                                  L"..\\demo\\demo.7z\" --setup \"" + FakeSetupPath() + L"\"");
    release.join();
    EXPECT_EQ(c.exit_code, code);
    std::string bytes;
    ASSERT_TRUE(ReadFileBytes(output, &bytes));
    if (c.left != nullptr) {
      EXPECT_EQ(c.left, bytes);
    } else {
      EXPECT_EQ("MZ", bytes.substr(0, 2));
    }
  }
}

}  // namespace
