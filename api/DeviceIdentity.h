// The machine's device identity: an upper-case hex SHA-1 of a hardware id, stable across runs.
#pragma once

#include <cstddef>
#include <string>

namespace velmor {

// SHA-1 of the bytes as 40 upper-case hexadecimal digits.
std::string sha1HexUpper(const void* data, size_t length);
inline std::string sha1HexUpper(const std::string& data) { return sha1HexUpper(data.data(), data.size()); }

// The text the identity is derived from, read below root ("/" for the running machine): the
// product UUID, else the first disk's serial number with every space removed; empty when
// neither can be read.
std::string rawDeviceIdentity(const std::string& root = "/");

// The device identity of the machine whose files are below root: sha1HexUpper of the raw
// identity (an empty raw identity still hashes).
std::string computeDeviceIdentity(const std::string& root = "/");

}  // namespace velmor
