// Links: an invitation redeemed at start over HTTPS, then links from second copies; and another
// account's look-alike on the Connector's port, which gets no page, no pairing values, no signal.
#include <gtest/gtest.h>
#include <unistd.h>

#include "E2e.h"

namespace tarnwick::e2e {
namespace {

std::string invitation(const std::string& installCode, int port = 18443) {
  return "tarnwick://desktop-invite?invite=https://tarnwick.com:" + std::to_string(port) +
         "/support/install/" + installCode + "/pair";
}

TEST(Links, AnInvitationAtStartAndLinksFromOtherCopiesReachTheRunningShell) {
  StandIn connector;
  ASSERT_FALSE(connector.server()) << "something already listens on 127.0.0.1:8766";
  TemporaryFolder folder("tarnwick-links");
  ServiceHost service(folder.path(), 18443);
  ASSERT_TRUE(service.ready);
  Session session;
  auto pairingPage = [&](const std::string& search) {
    auto fields = loaded("/support");
    fields["search"] = search;
    return !connector.waitLog(fields, 60s).empty();
  };

  // The service takes seconds to answer; meanwhile no Connector is started or asked.
  ASSERT_TRUE(session.launch({invitation("slow-6")}, service.wrapper()));
  EXPECT_TRUE(session.waitText("Preparing your secure connection\u2026", 20s));
  EXPECT_TRUE(session.connectors().empty());
  EXPECT_FALSE(connector.server());
  EXPECT_TRUE(
      pairingPage("?server=https://pairing.example:8443/servers/slow-6&code=TWCK2345"
                  "&completion_url=https://tarnwick.com/support/install/slow-6/complete"
                  "&completion_token=t%26k%2Bslow-6"))
      << connector.get("/test/log").dump();

  const auto windows = session.screen.windows().size();
  const std::string suffix = " Ask your Tarnwick for a new setup link.";
  for (const auto& [link, sentence] : std::vector<std::pair<std::string, std::string>>{
           {invitation("error-expired"), "This setup link has expired." + suffix},
           {invitation("any", 18444), "Could not connect to the server." + suffix}}) {
    SCOPED_TRACE(link);
    auto options = session.environment("second");
    options.environment["DESKTOP_STARTUP_ID"] = "copy_TIME" + std::to_string(sentence.size());
    auto second = runCommand(app.string(), {link}, options, 30s);
    EXPECT_EQ(std::pair(second.status, second.output), std::pair(0, std::string()));
    EXPECT_TRUE(session.waitText(sentence, 40s)) << ::testing::PrintToString(session.texts());
    auto time =
        runCommand("/usr/bin/xprop", {"-id", std::to_string(session.main.id), "_NET_WM_USER_TIME"},
                   session.environment("xprop"));
    EXPECT_EQ(time.output,
              "_NET_WM_USER_TIME(CARDINAL) = " + std::to_string(sentence.size()) + "\n");
    EXPECT_EQ(session.screen.windows().size(), windows) << "a second copy showed a window";
  }

  // A local pairing link: the code upper-cased, every value intact with "?", "=", "&" escaped.
  EXPECT_EQ(runCommand(app.string(),
                       {"tarnwick://desktop-pair?server=https://pair.example:9443/s%3Fa%3D1%26b"
                        "&code=abcd2345&completion_url=https://TARNWICK.com/done&"
                        "completion_token=a%26b"},
                       session.environment("third"))
                .status,
            0);
  EXPECT_TRUE(
      pairingPage("?server=https://pair.example:9443/s%3Fa%3D1%26b&code=ABCD2345"
                  "&completion_url=https://TARNWICK.com/done&completion_token=a%26b"))
      << connector.get("/test/log").dump();
  EXPECT_TRUE(session.quit());
}

// A server naming itself a Connector of the version given, writing each request and signal it gets.
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

    // The series runs on as if nothing answered (its own Connector cannot listen), to its sentence.
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
