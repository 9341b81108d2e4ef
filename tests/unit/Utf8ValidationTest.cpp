#include <gtest/gtest.h>

#include "connector/PosixCommandRunner.h"

namespace tarnwick::connector {
namespace {

using namespace std::string_literals;

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
};

class Utf8Validation : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8Validation, JudgesWellFormedness) {
  EXPECT_EQ(isValidUTF8(GetParam().bytes), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, Utf8Validation,
    testing::Values(
        Utf8Case{"empty", "", true}, Utf8Case{"ascii", "line one\nline two\n", true},
        Utf8Case{"nulByte", "a\0b"s, true}, Utf8Case{"twoBytes", "\xc3\xa9", true},
        Utf8Case{"threeBytes", "\xe2\x80\xa6", true},
        Utf8Case{"fourBytes", "\xf0\x9f\x98\x80", true},
        Utf8Case{"largest", "\xf4\x8f\xbf\xbf", true}, Utf8Case{"loneContinuation", "\x80", false},
        Utf8Case{"invalidLead", "\xff", false}, Utf8Case{"leadF8", "\xf8\x88\x80\x80\x80", false},
        Utf8Case{"overlongSlash", "\xc0\xaf", false},
        Utf8Case{"overlongThree", "\xe0\x80\xaf", false},
        Utf8Case{"overlongFour", "\xf0\x80\x80\xaf", false},
        Utf8Case{"surrogate", "\xed\xa0\x80", false},
        Utf8Case{"pastLargest", "\xf4\x90\x80\x80", false},
        Utf8Case{"truncatedAtEnd", "ok\xe2\x80", false},
        Utf8Case{"badContinuation", "\xe2\x28\xa1", false}, Utf8Case{"latin1", "caf\xe9", false}),
    [](const testing::TestParamInfo<Utf8Case>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace tarnwick::connector
