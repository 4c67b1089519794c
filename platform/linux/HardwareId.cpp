#include "platform/linux/HardwareId.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

#include "utils/Log.h"

#define LOG_TAG "VEL_HardwareId"

namespace velmor {

namespace {

namespace fs = std::filesystem;

const char kPlaceholderVendor[] = "To Be Filled By O.E.M.";

// root joined with an absolute path inside it.
std::string underRoot(const std::string& root, const std::string& path) {
    std::string r = root.empty() ? std::string("/") : root;
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r == "/") return path;
    return r + path;
}

// The whole file, or false when it cannot be read.
bool readFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    if (in.bad()) return false;
    *out = ss.str();
    return true;
}

// A sysfs attribute without the line end the kernel appends.
bool readAttribute(const std::string& path, std::string* out) {
    if (!readFile(path, out)) return false;
    while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) out->pop_back();
    return true;
}

// The names under /sys/block, sorted.
std::vector<std::string> blockDevices(const std::string& root) {
    std::vector<std::string> names;
    std::error_code ec;
    fs::directory_iterator it(underRoot(root, "/sys/block"), ec);
    if (ec) return names;
    for (const fs::directory_entry& entry : it) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The value of "E:<key>=" in a udev database record, or false.
bool udevProperty(const std::string& record, const std::string& key, std::string* out) {
    std::istringstream lines(record);
    std::string line;
    const std::string prefix = "E:" + key + "=";
    while (std::getline(lines, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            *out = line.substr(prefix.size());
            return true;
        }
    }
    return false;
}

std::string productUuid(const std::string& root) {
    std::string uuid;
    if (!readAttribute(underRoot(root, "/sys/class/dmi/id/product_uuid"), &uuid)) return std::string();
    std::string vendor;
    if (readAttribute(underRoot(root, "/sys/class/dmi/id/sys_vendor"), &vendor) && vendor == kPlaceholderVendor) {
        return std::string();
    }
    return uuid;
}

std::string diskSerial(const std::string& root) {
    for (const std::string& name : blockDevices(root)) {
        const std::string dir = underRoot(root, "/sys/block/" + name);
        std::string serial;
        if (readAttribute(dir + "/device/serial", &serial) && !serial.empty()) return serial;
        if (readAttribute(dir + "/serial", &serial) && !serial.empty()) return serial;
        // Without a serial attribute, the udev database has what the disk reported.
        std::string dev;
        if (!readAttribute(dir + "/dev", &dev) || dev.empty()) continue;
        std::string record;
        if (!readFile(underRoot(root, "/run/udev/data/b" + dev), &record)) continue;
        if ((udevProperty(record, "ID_SERIAL_SHORT", &serial) || udevProperty(record, "ID_SERIAL", &serial)) &&
            !serial.empty()) {
            return serial;
        }
    }
    return std::string();
}

std::string diskModel(const std::string& root) {
    for (const std::string& name : blockDevices(root)) {
        std::string model;
        if (readAttribute(underRoot(root, "/sys/block/" + name + "/device/model"), &model) && !model.empty()) {
            return model;
        }
    }
    return std::string();
}

std::string machineId(const std::string& root) {
    std::string id;
    if (!readAttribute(underRoot(root, "/etc/machine-id"), &id)) return std::string();
    return id.substr(0, 41);
}

}  // namespace

std::string queryHardwareIdAt(const std::string& root, int kind, int field) {
    (void)field;
    switch (kind) {
        case kHardwareIdProductUuid: return productUuid(root);
        case kHardwareIdMachine: return machineId(root);
        case kHardwareIdDiskSerial: return diskSerial(root);
        case kHardwareIdDiskModel: return diskModel(root);
        default: return std::string();
    }
}

std::string queryHardwareId(int kind, int field) { return queryHardwareIdAt("/", kind, field); }

}  // namespace velmor
