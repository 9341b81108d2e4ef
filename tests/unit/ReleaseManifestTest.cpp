#include <gtest/gtest.h>

#include "update/ReleaseManifest.h"

namespace tarnwick::update {
namespace {

constexpr const char* goodDigest =
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
constexpr const char* goodURL = "https://tarnwick.com/support/mac/download";

std::string manifest(const std::string& members) {
  return R"({"version":"1.4.2","download_url":"https://tarnwick.com/support/mac/download",)"
         R"("sha256":"x")" +
         members + "}";
}

struct DecodeCase {
  std::string json;
  std::optional<TarnwickRelease> release;
};

class ManifestDecoding : public testing::TestWithParam<DecodeCase> {};

TEST_P(ManifestDecoding, TakesTheFiveMembersOrNothing) {
  EXPECT_EQ(decodeRelease(GetParam().json), GetParam().release) << GetParam().json;
}

TarnwickRelease release(std::int64_t build, std::optional<std::string> notes = std::nullopt) {
  return {"1.4.2", build, goodURL, "x", std::move(notes)};
}

INSTANTIATE_TEST_SUITE_P(
    Manifests, ManifestDecoding,
    testing::Values(
        DecodeCase{manifest(R"(,"build":57)"), release(57)},
        DecodeCase{manifest(R"(,"build":57,"release_notes":null)"), release(57)},
        DecodeCase{manifest(R"(,"build":57,"release_notes":" Fixes.\n")"),
                   release(57, " Fixes.\n")},
        DecodeCase{manifest(R"(,"build":57,"release_notes":5)"), std::nullopt},
        DecodeCase{manifest(R"(,"build":57,"Release_Notes":5,"extra":{"a":[1]},"Build":"x")"),
                   release(57)},
        DecodeCase{manifest(R"(,"build":"57")"), std::nullopt},
        DecodeCase{manifest(R"(,"build":57.0)"), std::nullopt},
        DecodeCase{manifest(R"(,"build":5.7e1)"), std::nullopt},
        DecodeCase{manifest(R"(,"build":null)"), std::nullopt},
        DecodeCase{manifest(""), std::nullopt}, DecodeCase{manifest(R"(,"build":0)"), release(0)},
        DecodeCase{manifest(R"(,"build":-1)"), release(-1)},
        DecodeCase{manifest(R"(,"build":9223372036854775807)"), release(INT64_MAX)},
        DecodeCase{manifest(R"(,"build":-9223372036854775808)"), release(INT64_MIN)},
        DecodeCase{manifest(R"(,"build":9223372036854775808)"), std::nullopt},
        DecodeCase{manifest(R"(,"build":-9223372036854775809)"), std::nullopt},
        DecodeCase{R"({"version":1,"build":1,"download_url":"u","sha256":"s"})", std::nullopt},
        DecodeCase{R"({"build":1,"download_url":"u","sha256":"s"})", std::nullopt},
        DecodeCase{R"({"version":"1","build":1,"sha256":"s"})", std::nullopt},
        DecodeCase{R"({"version":"1","build":1,"download_url":"u","sha256":null})", std::nullopt},
        DecodeCase{R"({"VERSION":"1","build":1,"download_url":"u","sha256":"s"})", std::nullopt},
        DecodeCase{R"([{"version":"1","build":1,"download_url":"u","sha256":"s"}])", std::nullopt},
        DecodeCase{"<html>not json</html>", std::nullopt}, DecodeCase{"", std::nullopt},
        DecodeCase{manifest(R"(,"build":57)") + "x", std::nullopt},
        DecodeCase{std::string(maximumManifestSize + 1, ' '), std::nullopt}));

struct TrustCase {
  const char* version;
  const char* sha256;
  const char* url;
  bool trusted;
};

class TrustRules : public testing::TestWithParam<TrustCase> {};

TEST_P(TrustRules, GiveTheAddressAsWrittenOrNothing) {
  const auto& test = GetParam();
  auto result = trustedDownloadURL({test.version, 1, test.url, test.sha256, std::nullopt});
  EXPECT_EQ(result, test.trusted ? std::optional<std::string>(test.url) : std::nullopt)
      << test.version << " " << test.sha256 << " " << test.url;
}

const std::string upperDigest = "0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string digest63 = std::string(goodDigest).substr(1);
const std::string digest65 = std::string(goodDigest) + "0";

INSTANTIATE_TEST_SUITE_P(
    Releases, TrustRules,
    testing::Values(
        TrustCase{"1.4.2", goodDigest, goodURL, true},
        TrustCase{"01.4.2", goodDigest, goodURL, true},
        TrustCase{"1234567890.0.99", goodDigest, goodURL, true},
        TrustCase{"1.4", goodDigest, goodURL, false},
        TrustCase{"v1.4.2", goodDigest, goodURL, false},
        TrustCase{"1.4.2-rc1", goodDigest, goodURL, false},
        TrustCase{"01.4.2a", goodDigest, goodURL, false},
        TrustCase{"1.4.2.0", goodDigest, goodURL, false},
        TrustCase{"1..4", goodDigest, goodURL, false},
        TrustCase{"+1.4.2", goodDigest, goodURL, false},
        TrustCase{" 1.4.2", goodDigest, goodURL, false},
        TrustCase{"1.4.2\n", goodDigest, goodURL, false},
        TrustCase{"1.4.\u0662", goodDigest, goodURL, false},
        TrustCase{"", goodDigest, goodURL, false},
        TrustCase{"1.4.2", digest63.c_str(), goodURL, false},
        TrustCase{"1.4.2", digest65.c_str(), goodURL, false},
        TrustCase{"1.4.2", upperDigest.c_str(), goodURL, false},
        TrustCase{"1.4.2", "", goodURL, false},
        TrustCase{"1.4.2", goodDigest, "http://tarnwick.com/support/mac/download", false},
        TrustCase{"1.4.2", goodDigest, "https://tarnwick.com/support/mac/download/", false},
        TrustCase{"1.4.2", goodDigest, "https://tarnwick.com/support/mac/download/x", false},
        TrustCase{"1.4.2", goodDigest, "https://tarnwick.com/support/mac/Download", false},
        TrustCase{"1.4.2", goodDigest, "https://tarnwick.com/support/mac/download?x=1", false},
        TrustCase{"1.4.2", goodDigest, "https://tarnwick.com/support/mac/download?", false},
        TrustCase{"1.4.2", goodDigest, "https://tarnwick.com/support/mac/download#", false},
        TrustCase{"1.4.2", goodDigest, "https://tarnwick.com/support/mac/download#top", false},
        TrustCase{"1.4.2", goodDigest, "https://me@tarnwick.com/support/mac/download", false},
        TrustCase{"1.4.2", goodDigest, "https://me:pw@tarnwick.com/support/mac/download", false},
        TrustCase{"1.4.2", goodDigest, "https://:pw@tarnwick.com/support/mac/download", false},
        TrustCase{"1.4.2", goodDigest, "https://@tarnwick.com/support/mac/download", false},
        TrustCase{"1.4.2", goodDigest, "https://example.com/support/mac/download", false},
        TrustCase{"1.4.2", goodDigest, "https://www.tarnwick.com/support/mac/download", false},
        TrustCase{"1.4.2", goodDigest, "https://tarnwick.com.evil.test/support/mac/download",
                  false},
        TrustCase{"1.4.2", goodDigest, "https://tarnwick%2Ecom/support/mac/download", false},
        TrustCase{"1.4.2", goodDigest, "//tarnwick.com/support/mac/download", false},
        TrustCase{"1.4.2", goodDigest, "https:///support/mac/download", false},
        TrustCase{"1.4.2", goodDigest, "https://tarnwick.com/support/mac/down load", false},
        TrustCase{"1.4.2", goodDigest, "", false},
        TrustCase{"1.4.2", goodDigest, "https://tarnwick.com:8443/support/mac/download", true},
        TrustCase{"1.4.2", goodDigest, "HTTPS://TARNWICK.COM/support/mac/download", true},
        TrustCase{"1.4.2", goodDigest, "hTTps://Tarnwick.Com:443/support/mac/download", true}));

struct VersionCase {
  const char* candidate;
  const char* current;
  bool newer;
};

class VersionComparison : public testing::TestWithParam<VersionCase> {};

TEST_P(VersionComparison, ComparesPiecesAsNumbers) {
  EXPECT_EQ(isNewerVersion(GetParam().candidate, GetParam().current), GetParam().newer)
      << GetParam().candidate << " against " << GetParam().current;
}

INSTANTIATE_TEST_SUITE_P(
    Versions, VersionComparison,
    testing::Values(VersionCase{"1.10.0", "1.9.9", true}, VersionCase{"1.9.9", "1.10.0", false},
                    VersionCase{"1.2.1", "1.2", true}, VersionCase{"1.2", "1.2.0", false},
                    VersionCase{"2.0.0", "2.0.0-beta", false}, VersionCase{"1.2.3", "1.2.x", true},
                    VersionCase{"1.2.3", "0.0.0", true}, VersionCase{"1.0.0", "1.0.0", false},
                    VersionCase{"1.0", "1.0.0.0", false}, VersionCase{"1.0.0.1", "1.0.0", true},
                    VersionCase{"", "", false}, VersionCase{"1..2", "1.2", false},
                    VersionCase{".1.2.", "1.1", true}, VersionCase{"01.4.2", "1.4.1", true},
                    VersionCase{"+2", "1", true}, VersionCase{"-1", "0", false},
                    VersionCase{"0", "-1", true}, VersionCase{"+-2", "1", false},
                    VersionCase{"1. 2", "1.1", false},
                    VersionCase{"9223372036854775807", "9223372036854775806", true},
                    VersionCase{"9223372036854775808", "1", false},
                    VersionCase{"-9223372036854775808", "-9223372036854775807", false},
                    VersionCase{"1.\u0662", "1.1", false}));

}  // namespace
}  // namespace tarnwick::update
