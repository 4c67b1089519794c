// Device identity from fake sysfs trees built under a temporary directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

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
    void write(const std::string& rel, const std::string& content) {
        const fs::path p = fs::path(mRoot) / rel;
        fs::create_directories(p.parent_path());
        std::ofstream out(p, std::ios::binary);
        out << content;
    }
    void mkdir(const std::string& rel) { fs::create_directories(fs::path(mRoot) / rel); }

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

TEST(DeviceIdentity, ProductUuidWins) {
    FakeRoot root;
    root.write("sys/class/dmi/id/product_uuid", "4c4c4544-0042-3510-8052-b4c04f4e4b32\n");
    root.write("sys/class/dmi/id/sys_vendor", "Dell Inc.\n");
    root.write("sys/block/sda/device/serial", "DISK 1\n");
    EXPECT_EQ(queryHardwareIdAt(root.path(), kHardwareIdProductUuid, 0), "4c4c4544-0042-3510-8052-b4c04f4e4b32");
    EXPECT_EQ(rawDeviceIdentity(root.path()), "4c4c4544-0042-3510-8052-b4c04f4e4b32");
    EXPECT_EQ(computeDeviceIdentity(root.path()), sha1HexUpper("4c4c4544-0042-3510-8052-b4c04f4e4b32"));
    // A trailing slash on the root changes nothing.
    EXPECT_EQ(computeDeviceIdentity(root.path() + "/"), computeDeviceIdentity(root.path()));
    const std::string id = computeDeviceIdentity(root.path());
    ASSERT_EQ(id.size(), 40u);
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);
}

TEST(DeviceIdentity, PlaceholderVendorFallsBackToTheDiskSerial) {
    FakeRoot root;
    root.write("sys/class/dmi/id/product_uuid", "03000200-0400-0500-0006-000700080009\n");
    root.write("sys/class/dmi/id/sys_vendor", "To Be Filled By O.E.M.\n");
    // Devices are taken in name order; loop devices have no serial and are passed over.
    root.write("sys/block/loop0/dev", "7:0\n");
    root.write("sys/block/sdb/device/serial", "SECOND\n");
    root.write("sys/block/sda/device/serial", "  WD-WCC 4N1 234567  \n");
    EXPECT_EQ(queryHardwareIdAt(root.path(), kHardwareIdProductUuid, 0), "");
    EXPECT_EQ(queryHardwareIdAt(root.path(), kHardwareIdDiskSerial, 2), "  WD-WCC 4N1 234567  ");
    EXPECT_EQ(rawDeviceIdentity(root.path()), "WD-WCC4N1234567");
    EXPECT_EQ(computeDeviceIdentity(root.path()), sha1HexUpper("WD-WCC4N1234567"));

    // Only the exact placeholder text is refused.
    root.write("sys/class/dmi/id/sys_vendor", "To Be Filled By O.E.M. Inc\n");
    EXPECT_EQ(rawDeviceIdentity(root.path()), "03000200-0400-0500-0006-000700080009");
}

TEST(DeviceIdentity, UdevDatabaseWhenTheDiskHasNoSerialFile) {
    FakeRoot root;
    // No DMI data at all (unreadable product UUID).
    root.write("sys/block/nvme0n1/dev", "259:0\n");
    root.mkdir("sys/block/nvme0n1/device");
    root.write("run/udev/data/b259:0",
               "S:disk/by-id/nvme-Samsung_SSD\nE:ID_MODEL=Samsung SSD 980\nE:ID_SERIAL=Samsung_SSD_980_S64DNX0R\n"
               "E:ID_SERIAL_SHORT=S64D NX0R 123\nG:systemd\n");
    EXPECT_EQ(queryHardwareIdAt(root.path(), kHardwareIdDiskSerial, 2), "S64D NX0R 123");
    EXPECT_EQ(rawDeviceIdentity(root.path()), "S64DNX0R123");

    // Without the short form, the long one.
    root.write("run/udev/data/b259:0", "E:ID_SERIAL=Samsung_SSD_980_S64DNX0R\n");
    EXPECT_EQ(rawDeviceIdentity(root.path()), "Samsung_SSD_980_S64DNX0R");

    // A serial attribute takes precedence over the database.
    root.write("sys/block/nvme0n1/device/serial", "FROMSYSFS\n");
    EXPECT_EQ(rawDeviceIdentity(root.path()), "FROMSYSFS");
}

TEST(DeviceIdentity, NothingReadableGivesTheEmptyDigest) {
    FakeRoot root;
    EXPECT_EQ(rawDeviceIdentity(root.path()), "");
    EXPECT_EQ(computeDeviceIdentity(root.path()), kEmptySha1);
    EXPECT_EQ(computeDeviceIdentity("/nonexistent/qv/root"), kEmptySha1);

    // Present but empty sources count as nothing.
    root.write("sys/class/dmi/id/product_uuid", "");
    root.write("sys/block/sda/device/serial", "\n");
    root.write("sys/block/sda/dev", "8:0\n");
    root.write("run/udev/data/b8:0", "E:ID_SERIAL_SHORT=\n");
    EXPECT_EQ(computeDeviceIdentity(root.path()), kEmptySha1);

    // Unknown kinds give nothing.
    EXPECT_EQ(queryHardwareIdAt(root.path(), 42, 0), "");
}

TEST(DeviceIdentity, OtherKinds) {
    FakeRoot root;
    root.write("etc/machine-id", "0123456789abcdef0123456789abcdef0123456789abcdef\n");
    root.write("sys/block/sda/device/model", "WDC WD10EZEX-08W\n");
    EXPECT_EQ(queryHardwareIdAt(root.path(), kHardwareIdMachine, 1), "0123456789abcdef0123456789abcdef012345678");
    EXPECT_EQ(queryHardwareIdAt(root.path(), kHardwareIdDiskModel, 3), "WDC WD10EZEX-08W");
}

TEST(DeviceIdentity, RunningMachineIsStable) {
    // Whatever this machine exposes, the identity is a well-formed digest and does not change.
    const std::string a = computeDeviceIdentity();
    const std::string b = computeDeviceIdentity("/");
    ASSERT_EQ(a.size(), 40u);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, sha1HexUpper(rawDeviceIdentity("/")));
}
