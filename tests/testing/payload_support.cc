#include "testing/payload_support.h"

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace testing_support {

std::wstring PayloadFixture(const std::wstring& name) {
  return TestDirectory() + L"fixtures\\payload\\" + name;
}

std::string PayloadFixtureBytes(const std::wstring& name) {
  std::string bytes;
  EXPECT_TRUE(ReadFileBytes(PayloadFixture(name), &bytes)) << Narrow(name);
  return bytes;
}

std::wstring TestInstaller(const std::wstring& name) {
  return TestDirectory() + L"installers\\" + name + L".exe";
}

}  // namespace testing_support
