// Device identity from fake sysfs trees built under a temporary directory, checked against
// digests computed elsewhere (sha1sum).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "api/DeviceIdentity.h"
#include "platform/linux/HardwareId.h"

using namespace velmor;
namespace fs = std::filesystem;

namespace {

const char kEmptySha1[] = "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";

// A fresh directory standing in for the file system root; removed at the end.
class FakeRoot {
public:
    FakeRoot() {
        char tmpl[] = "/tmp/qv-identity-XXXXXX";
        const char* dir = mkdtemp(tmpl);
        EXPECT_NE(dir, nullptr);
        mRoot = dir ? dir : "/nonexistent-qv-root";
    }
    ~FakeRoot() {
        std::error_code ec;
        fs::remove_all(mRoot, ec);
    }
    const std::string& path() const { return mRoot; }
    // A content of null makes a directory.
    void write(const std::string& rel, const char* content) {
        const fs::path p = fs::path(mRoot) / rel;
        fs::create_directories(content ? p.parent_path() : p);
        if (content) std::ofstream(p, std::ios::binary) << content;
    }

private:
    std::string mRoot;
};

}  // namespace

TEST(DeviceIdentity, Sha1Vectors) {
    EXPECT_EQ(sha1HexUpper(""), kEmptySha1);
    EXPECT_EQ(sha1HexUpper("abc"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(sha1HexUpper("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983E441C3BD26EBAAE4AA1F95129E5E54670F1");
    EXPECT_EQ(sha1HexUpper(std::string(1000000, 'a')), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F");
    // Bytes, not a C string: an embedded NUL counts.
    EXPECT_NE(sha1HexUpper(std::string("a\0b", 3)), sha1HexUpper("a"));
}

TEST(DeviceIdentity, SourcesInOrderOfPreference) {
    using Files = std::vector<std::pair<std::string, const char*>>;
    const std::string uuid = "sys/class/dmi/id/product_uuid", vendor = "sys/class/dmi/id/sys_vendor";
    struct Case {
        const char* what;
        Files files;
        const char* raw;
        const char* identity;
    };
    const Case cases[] = {
        {"product UUID wins over the disk",
         {{uuid, "4c4c4544-0042-3510-8052-b4c04f4e4b32\n"}, {vendor, "Dell Inc.\n"},
          {"sys/block/sda/device/serial", "DISK 1\n"}},
         "4c4c4544-0042-3510-8052-b4c04f4e4b32", "E807AC699657E3BAE5FF281AC495C83E83E23E8E"},
        {"placeholder vendor: first disk in name order with a serial, all spaces removed",
         {{uuid, "03000200-0400-0500-0006-000700080009\n"}, {vendor, "To Be Filled By O.E.M.\n"},
          {"sys/block/loop0/dev", "7:0\n"}, {"sys/block/sdb/device/serial", "SECOND\n"},
          {"sys/block/sda/device/serial", "  WD-WCC 4N1 234567  \n"}},
         "WD-WCC4N1234567", "A9DDB1F10E20BEDEE384B1EEA4AB7C6A27921D9C"},
        {"only the exact placeholder is refused",
         {{uuid, "03000200-0400-0500-0006-000700080009\n"}, {vendor, "To Be Filled By O.E.M. Inc\n"}},
         "03000200-0400-0500-0006-000700080009", "2FCBEA7A3FE34980632ADC5D0317FE068472AC0F"},
        {"no DMI, no serial file: the udev database's short serial",
         {{"sys/block/nvme0n1/dev", "259:0\n"}, {"sys/block/nvme0n1/device", nullptr},
          {"run/udev/data/b259:0", "S:disk/by-id/nvme-Samsung_SSD\nE:ID_MODEL=Samsung SSD 980\n"
                                   "E:ID_SERIAL=Samsung_SSD_980_S64DNX0R\nE:ID_SERIAL_SHORT=S64D NX0R 123\n"}},
         "S64DNX0R123", "7E0A6183435B8FDD2646F353A8D088F687B744A3"},
        {"udev without the short serial: the long one",
         {{"sys/block/nvme0n1/dev", "259:0\n"}, {"sys/block/nvme0n1/device", nullptr},
          {"run/udev/data/b259:0", "E:ID_SERIAL=Samsung_SSD_980_S64DNX0R\n"}},
         "Samsung_SSD_980_S64DNX0R", "FC987683D88D50FBEE10E5C7A8E4B1EC3FD497B7"},
        {"a serial attribute goes before the udev database",
         {{"sys/block/nvme0n1/dev", "259:0\n"}, {"sys/block/nvme0n1/device/serial", "FROMSYSFS\n"},
          {"run/udev/data/b259:0", "E:ID_SERIAL=Samsung_SSD_980_S64DNX0R\n"}},
         "FROMSYSFS", "A835B55B5A154E49501CE3BF6FEC319CDCDB5A04"},
        {"nothing at all", {}, "", kEmptySha1},
        {"present but empty sources count as nothing",
         {{uuid, ""}, {"sys/block/sda/device/serial", "\n"}, {"sys/block/sda/dev", "8:0\n"},
          {"run/udev/data/b8:0", "E:ID_SERIAL_SHORT=\n"}},
         "", kEmptySha1},
    };
    for (const Case& c : cases) {
        FakeRoot root;
        for (const auto& [rel, content] : c.files) root.write(rel, content);
        EXPECT_EQ(rawDeviceIdentity(root.path()), c.raw) << c.what;
        EXPECT_EQ(computeDeviceIdentity(root.path()), c.identity) << c.what;
        EXPECT_EQ(computeDeviceIdentity(root.path() + "/"), c.identity) << c.what;
    }
    EXPECT_EQ(computeDeviceIdentity("/nonexistent/qv/root"), kEmptySha1);
    EXPECT_EQ(queryHardwareIdAt("/", 42, 0), "");  // an unknown kind
}
