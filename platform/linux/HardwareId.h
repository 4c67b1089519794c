// Hardware properties of the machine read from sysfs, for the device identity.
#pragma once

#include <string>

namespace velmor {

// Hardware id kinds.
enum HardwareIdKind {
    // The computer-system product UUID; empty when the product vendor is the firmware
    // placeholder "To Be Filled By O.E.M.".
    kHardwareIdProductUuid = 0,
    // The machine id of the installation (first 41 characters).
    kHardwareIdMachine = 1,
    // The serial number of the first disk that reports one (block devices in name order).
    kHardwareIdDiskSerial = 2,
    // The model name of the first disk that reports one.
    kHardwareIdDiskModel = 3,
};

// Reads the property of the given kind from the file tree below root ("/" for the running
// machine). Any failure gives the empty string. field is accepted for the callers' sake; the
// kind alone selects the property.
std::string queryHardwareIdAt(const std::string& root, int kind, int field);

// The same on the running machine.
std::string queryHardwareId(int kind, int field);

}  // namespace velmor
