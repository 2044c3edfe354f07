// Runs every registered host test and closes with the count of passed and failed ones.
#include <stdio.h>

#include <vector>

#include "harness.h"

namespace {

struct Registered {
  const char* name;
  void (*body)();
};

std::vector<Registered>& Registry() {
  static std::vector<Registered> tests;
  return tests;
}

int failures_in_test = 0;

}  // namespace

void RegisterTest(const char* name, void (*body)()) { Registry().push_back({name, body}); }

void ReportFailure(const char* file, int line, const std::string& message) {
  ++failures_in_test;
  fprintf(stderr, "%s:%d: %s\n", file, line, message.c_str());
}

int main() {
  int passed = 0;
  int failed = 0;
  for (const Registered& test : Registry()) {
    failures_in_test = 0;
    test.body();
    printf("%s %s\n", failures_in_test == 0 ? "ok  " : "FAIL", test.name);
    ++(failures_in_test == 0 ? passed : failed);
  }
  printf("host_tests: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
