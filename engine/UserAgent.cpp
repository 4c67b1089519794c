#include "engine/UserAgent.h"

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
    UserAgentInfo info = GetUserAgentInfo();
    if (info.os.empty()) info.os = "-";
    if (info.version.empty()) info.version = "-";
    std::string line;
    line.append("User-Agent: VelmorPlayer Windows/").append(info.os);
    line.append(" V3.VelmorPlayer/").append(info.version);
    line.append(" 1.0.0.0/- vm-pc/-\r\n");
    return line;
}

}  // namespace velmor
