// Percent-encoding of a query value: everything but unreserved characters (RFC 3986) becomes %XX.
#pragma once

#include <string>

namespace velmor {

std::string UrlEncode(const std::string& text);

}  // namespace velmor
