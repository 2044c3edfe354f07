// Fixtures of the payload tests: the files tests/payload/make_payload_fixtures.py makes at build
// time, and the test installers built around them.
#pragma once

#include <string>

namespace testing_support {

// A file made by the fixture generator, by name.
std::wstring PayloadFixture(const std::wstring& name);
// Its bytes; empty (and a test failure) when it cannot be read.
std::string PayloadFixtureBytes(const std::wstring& name);
// An installer built by add_test_installer, by name (without ".exe").
std::wstring TestInstaller(const std::wstring& name);

}  // namespace testing_support
