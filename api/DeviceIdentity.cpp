#include "api/DeviceIdentity.h"

#include <openssl/evp.h>

#include <algorithm>

#include "platform/linux/HardwareId.h"
#include "utils/Log.h"

#define LOG_TAG "VEL_VelmorPlayerBase"

namespace velmor {

std::string sha1HexUpper(const void* data, size_t length) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_Digest(data, length, digest, &digestLength, EVP_sha1(), nullptr) != 1) {
        VLOGE("SHA-1 failed");
        return std::string();
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(digestLength * 2);
    for (unsigned int i = 0; i < digestLength; ++i) {
        hex.push_back(kHex[digest[i] >> 4]);
        hex.push_back(kHex[digest[i] & 0x0f]);
    }
    return hex;
}

std::string rawDeviceIdentity(const std::string& root) {
    std::string raw = queryHardwareIdAt(root, kHardwareIdProductUuid, 0);
    if (raw.empty()) {
        raw = queryHardwareIdAt(root, kHardwareIdDiskSerial, 2);
        raw.erase(std::remove(raw.begin(), raw.end(), ' '), raw.end());
    }
    return raw;
}

std::string computeDeviceIdentity(const std::string& root) { return sha1HexUpper(rawDeviceIdentity(root)); }

}  // namespace velmor
