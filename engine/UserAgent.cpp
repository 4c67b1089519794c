#include "engine/UserAgent.h"

#include <string_view>

#include "utils/Mutex.h"

namespace velmor {

namespace {
Mutex gUserAgentLock;
UserAgentInfo gUserAgent;  // guarded by gUserAgentLock
}  // namespace

UserAgentInfo GetUserAgentInfo() {
    Mutex::Autolock _l(gUserAgentLock);
    return gUserAgent;
}

void SetUserAgentInfo(const UserAgentInfo& info) {
    Mutex::Autolock _l(gUserAgentLock);
    gUserAgent = info;
}

std::string UserAgentHeaderLine() {
    const UserAgentInfo info = GetUserAgentInfo();
    // A text the host never set shows as "-".
    std::string line;
    line.append("User-Agent: VelmorPlayer Windows/").append(info.os.empty() ? std::string_view("-") : info.os);
    line.append(" V3.VelmorPlayer/").append(info.version.empty() ? std::string_view("-") : info.version);
    line.append(" 1.0.0.0/- vm-pc/-\r\n");
    return line;
}

}  // namespace velmor
