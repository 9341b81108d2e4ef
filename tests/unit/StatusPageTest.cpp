#include "app/StatusPage.h"

#include <gtest/gtest.h>

namespace tarnwick::app {
namespace {

TEST(StatusPage, DocumentIsTheSixLinesThenTheMessage) {
  EXPECT_EQ(statusPageHTML("Connecting to Tarnwick\u2026"),
            "<!doctype html><meta name=\"color-scheme\" content=\"dark\">\n"
            "<style>\n"
            "body{margin:0;background:#17191d;color:#f5f0e8;font:17px -apple-system;\n"
            "     display:grid;place-items:center;height:100vh}\n"
            "div{text-align:center}.brand{font:600 34px Georgia;color:#d3a55d;margin-bottom:18px}\n"
            "</style><div><div class=\"brand\">Tarnwick</div><div>Connecting to Tarnwick\u2026"
            "</div></div>");
}

struct EscapeCase {
  const char* message;
  const char* escaped;
};

class StatusEscaping : public testing::TestWithParam<EscapeCase> {};

TEST_P(StatusEscaping, ShowsMarkupCharactersLiterally) {
  EXPECT_EQ(escapeStatusMessage(GetParam().message), GetParam().escaped);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, StatusEscaping,
    testing::Values(EscapeCase{"plain", "plain"}, EscapeCase{"a < b & c > d", "a &lt; b &amp; c &gt; d"},
                    // An "&" already in the message is escaped, so "&lt;" stays "&lt;" on screen.
                    EscapeCase{"&lt;", "&amp;lt;"}, EscapeCase{"<<&&>>", "&lt;&lt;&amp;&amp;&gt;&gt;"},
                    EscapeCase{"\"quotes\" 'stay'", "\"quotes\" 'stay'"},
                    EscapeCase{"<script>alert(1)</script>",
                               "&lt;script&gt;alert(1)&lt;/script&gt;"},
                    EscapeCase{"", ""}));

}  // namespace
}  // namespace tarnwick::app
