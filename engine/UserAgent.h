// The process-wide texts the HTTP layer writes into its User-Agent line. The host sets them
// through the OS/version request; any thread reads them when it builds a request.
#pragma once

#include <string>

namespace velmor {

struct UserAgentInfo {
    std::string os;       // short operating-system token, e.g. "Linux"
    std::string version;  // the player version the host reported
};

// Thread-safe copies in and out (guarded by one process-wide lock).
UserAgentInfo GetUserAgentInfo();
void SetUserAgentInfo(const UserAgentInfo& info);

// "User-Agent: ...\r\n" with the current texts ("-" for a text the host never set).
std::string UserAgentHeaderLine();

}  // namespace velmor
