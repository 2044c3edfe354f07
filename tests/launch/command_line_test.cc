#include "launch/command_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(AppendCommandLineFlags, ArgumentsFollowTheProgramNameUnchanged) {
  struct Case { const wchar_t* stub_line; const wchar_t* appended; } cases[] = {
      {L"\"C:\\a b\\stub.exe\"", L""},
      {L"\"C:\\a b\\stub.exe\" x", L" x"},
      {L"\"C:\\a b\\stub.exe\"  x  \"y z\" ", L"  x  \"y z\" "},
      {L"\"C:\\a b\\stub.exe\"x y", L" x y"},
      {L"\"C:\\a b\\stub.exe\"\"q\"", L" \"q\""},
      {L"\"C:\\a b\\stub.exe x y", L""},
      {L"\"", L""},
      {L"\"\"", L""},
      {L"\"\" x", L" x"},
      {L"C:\\stub.exe", L""},
      {L"C:\\stub.exe\tx", L"\tx"},
      {L"C:\\stub.exe \t", L" \t"},
      {L"C:\\st\"ub.exe x", L" x"},
      {L"stub\x01\x1f.exe x", L" x"},
      {L" x y", L" x y"},
      {L"\tx", L"\tx"},
      {L"", L""},
  };
  for (const Case& c : cases) {
    CommandLineString buffer;
    buffer.Copy(L"\"setup\"");
    AppendCommandLineFlags(c.stub_line, buffer);
    EXPECT_EQ(std::wstring(L"\"setup\"") + c.appended, buffer.Get()) << c.stub_line;
  }
  CommandLineString buffer;
  AppendCommandLineFlags(nullptr, buffer);
  EXPECT_TRUE(buffer.IsEmpty());
}

// The setup line's limit is shown with real starts in launch_setup_test.cc; the patch line's here.
TEST(BuildPatchCommandLine, ExactlyTheLastCharacterThatFits) {
  const size_t fixed = std::wstring(L"\"\" --update-setup-exe=\"\" --new-setup-exe=\"\"").size();
  CommandLineString buffer;
  const std::wstring fits(1039 - fixed, L'p');
  ASSERT_TRUE(BuildPatchCommandLine(L"", fits.c_str(), L"", buffer));
  EXPECT_EQ(1039u, buffer.Length());
  EXPECT_FALSE(BuildPatchCommandLine(L"", (fits + L"p").c_str(), L"", buffer));
}

}  // namespace
