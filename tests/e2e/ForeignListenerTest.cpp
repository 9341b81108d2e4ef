// Another account's look-alike on the Connector's port: the shell, started with a local pairing
// link, gives it no page load and no pairing values, and never signals it, whether it names the
// shell's version or another one.
#include <gtest/gtest.h>
#include <unistd.h>

#include "E2e.h"

namespace tarnwick::e2e {
namespace {

// An HTTP server naming itself a Connector of the version given, writing each request it gets
// and each signal it catches (every one but SIGKILL and SIGSTOP, which leave it gone or stopped).
const char* const lookAlike = R"(
import http.server, signal, sys
for number in set(signal.Signals) - {signal.SIGKILL, signal.SIGSTOP}:
    signal.signal(number, lambda number, frame: print("signal", number, flush=True))
class Answer(http.server.BaseHTTPRequestHandler):
    def version_string(self):
        return "TarnwickDesktop/" + sys.argv[1]
    def do_GET(self):
        print("request", self.requestline, dict(self.headers), flush=True)
        self.send_response(200)
        self.end_headers()
        self.wfile.write(b"<!doctype html><title>Tarnwick</title><button>Unlock</button>")
server = http.server.HTTPServer(("127.0.0.1", 8766), Answer)
print("ready", flush=True)
server.serve_forever()
)";

TEST(ForeignListener, AnotherAccountsLookAlikeGetsNoPageNoPairingValuesAndNoSignal) {
  if (getuid() != 0) {
    GTEST_SKIP() << "switching to nobody needs root";
  }
  const std::string code = "WXYZ2345", token = "pairing-token-7";
  const std::string link = "tarnwick://desktop-pair?server=https://pair.example&code=" + code +
                           "&completion_url=https://tarnwick.com/done&completion_token=" + token;
  for (const auto& answered : {version, std::string("0.0.1-other")}) {
    SCOPED_TRACE("answering as " + answered);
    ASSERT_FALSE(StandIn().server()) << "something already listens on 127.0.0.1:8766";
    TemporaryFolder folder("tarnwick-look-alike");
    const auto record = folder.path() / "look-alike.txt";
    Process nobody("/usr/bin/python3", {"-I", "-c", lookAlike, answered},
                   {.stdoutFile = record, .user = 65534});
    ASSERT_TRUE(waitUntil([&] { return readFile(record).starts_with("ready"); }, 10s));
    ASSERT_EQ(StandIn().server(), "TarnwickDesktop/" + answered);
    const auto ours = readFile(record).size();  // the line of that request

    // The series runs on as if nothing answered (the shell's own Connector cannot listen) and
    // ends on its sentence.
    Session session;
    ASSERT_TRUE(session.launch({link}));
    EXPECT_TRUE(session.waitText(
        "Tarnwick could not connect. Choose Tarnwick \u2192 Reload Tarnwick to try again.", 60s))
        << ::testing::PrintToString(session.texts());
    const auto seen = readFile(record).substr(ours);
    EXPECT_NE(seen.find("request GET / "), std::string::npos) << "the shell never asked it";
    for (const auto& secret : {std::string("/support"), code, token, std::string("WebKit")}) {
      EXPECT_EQ(seen.find(secret), std::string::npos) << secret << " reached it:\n" << seen;
    }
    EXPECT_EQ(seen.find("signal"), std::string::npos) << seen;
    EXPECT_TRUE(nobody.running()) << "it was stopped";
    EXPECT_TRUE(session.quit());
  }
}

}  // namespace
}  // namespace tarnwick::e2e
