#include "app/StatusPage.h"

namespace tarnwick::app {

namespace {

constexpr std::string_view head =
    "<!doctype html><meta name=\"color-scheme\" content=\"dark\">\n"
    "<style>\n"
    "body{margin:0;background:#17191d;color:#f5f0e8;font:17px -apple-system;\n"
    "     display:grid;place-items:center;height:100vh}\n"
    "div{text-align:center}.brand{font:600 34px Georgia;color:#d3a55d;margin-bottom:18px}\n"
    "</style><div><div class=\"brand\">Tarnwick</div><div>";
constexpr std::string_view tail = "</div></div>";

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

}  // namespace

std::string escapeStatusMessage(std::string_view message) {
  std::string escaped(message);
  replaceAll(escaped, "&", "&amp;");
  replaceAll(escaped, "<", "&lt;");
  replaceAll(escaped, ">", "&gt;");
  return escaped;
}

std::string statusPageHTML(std::string_view message) {
  std::string page(head);
  page += escapeStatusMessage(message);
  page += tail;
  return page;
}

}  // namespace tarnwick::app
