#pragma once

// The pages of the stand-in Connector. Pure text builders, so they are tested directly.

#include <map>
#include <string>

namespace tarnwick::standin {

// What every page shows in its meta elements.
struct PageIdentity {
  std::string version;
  std::string source = "stand-in";
  std::string csrfToken;
};

using Query = std::multimap<std::string, std::string>;

// Escapes text for HTML element content and double-quoted attribute values.
std::string escapeHTML(const std::string& text);

// The local interface: the root page.
std::string interfacePage(const PageIdentity& identity);

// The pairing page, showing the four items it was opened with.
std::string pairingPage(const PageIdentity& identity, const Query& query);

// Test pages, named by the path under /test/ (without the prefix); nothing for an unknown name.
// See the script for what each one does.
std::string testPage(const PageIdentity& identity, const std::string& name, const Query& query,
                     bool* found);

// The script every page loads from /test/common.js.
const std::string& commonScript();

}  // namespace tarnwick::standin
