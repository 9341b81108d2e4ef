#pragma once

#include "links/Url.h"

namespace tarnwick::links {

// True when the URL's scheme, in lower case, is "tarnwick" optionally followed by decimal digits
// (tarnwick, tarnwick2, TARNWICK15). A URL without a scheme is not in the family.
bool isTarnwickScheme(const Url& url);

}  // namespace tarnwick::links
