#include "links/PlaidCompletion.h"

#include "links/SchemeFamily.h"

namespace tarnwick::links {

bool plaidCompletionURL(const Url& url) {
  if (!isTarnwickScheme(url)) {
    return false;
  }
  if (!url.host() || asciiLowercase(*url.host()) != plaidCompletionHost) {
    return false;
  }
  if (url.user() || url.password() || url.query() || url.fragment()) {
    return false;
  }
  return url.path().empty() || url.path() == "/";
}

}  // namespace tarnwick::links
