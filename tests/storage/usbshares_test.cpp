#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_share.h"
#include "qavo_sharemgmt.h"
#include "qavo_usbbackup.h"
#include "qavo_usbcopy.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"

namespace {

using qtest::Sh;
using qtest::WriteFile;

std::string Key(const char *key) {
    char value[256] = "";
    SLIBFileGetKeyValue("/etc/qavoinfo.conf", key, value, sizeof(value), 0);
    return value;
}

TEST(UsbBackupShares, ListDeleteAndRename) {
    ASSERT_EQ(QAVOINFOSetKeyValue("usbbkpshares", "a,,B,c"), 0);
    int needed = 0;
    EXPECT_EQ(USBBKPGetBackupShares(nullptr, 0, &needed), 3);
    const int slot = static_cast<int>(sizeof(char *)) + USBBKP_SHARE_SLOT;
    EXPECT_EQ(needed, 3 * slot);
    std::vector<char> buf(static_cast<size_t>(needed));
    char **names = reinterpret_cast<char **>(buf.data());
    EXPECT_EQ(USBBKPGetBackupShares(names, needed - 1, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BUF_TOO_SMALL));
    ASSERT_EQ(USBBKPGetBackupShares(names, 3 * slot, &needed), 3);
    EXPECT_STREQ(names[1], "B");
    EXPECT_EQ(USBBKPGetBackupShares(names, 0, &needed), -1);
    EXPECT_EQ(SLIBErrGet(), static_cast<SLIBERRCODE>(ERR_BAD_PARAMETERS));

    EXPECT_EQ(USBBKPRenameBackupShare(names, "b", "bee", 3), 0);
    EXPECT_EQ(Key("usbbkpshares"), "a,bee,c");
    EXPECT_STREQ(names[1], "B");  // the caller's array keeps its name
    EXPECT_EQ(USBBKPDeleteBackupShare(names, "A", 3), 0);
    EXPECT_EQ(Key("usbbkpshares"), "B,c");
    EXPECT_EQ(USBBKPDeleteBackupShare(names, "zz", 3), 0);  // not listed: unchanged
    EXPECT_EQ(Key("usbbkpshares"), "B,c");
    EXPECT_EQ(USBBKPDeleteBackupShare(names, "c", 0), -1);
    EXPECT_EQ(USBBKPDeleteBackupShare(nullptr, "c", 1), -1);
}

class UsbCopyDest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(Sh("mkdir -p /volume1 && mount -t tmpfs tmpfs /volume1"), 0);
        WriteFile(SZF_QAVO_SMB_CONF,
                  "[global]\n\tsecurity=user\n"
                  "[PUBLIC]\n\tpath=/volume1/PUBLIC\n\tguest ok=yes\n\twriteable=yes\n"
                  "[cam]\n\tpath=/volume1/cam\n\tguest ok=yes\n\twriteable=yes\n");
        ASSERT_EQ(Sh("mkdir -p /volume1/PUBLIC /volume1/cam"), 0);
    }
};

TEST_F(UsbCopyDest, RepairedWhenEmptyOrGoneAndResetOnDelete) {
    char buf[64];
    ASSERT_EQ(USBCopyGetDestFolder(buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "PUBLIC");  // the default, as its section spells it
    ASSERT_EQ(USBCopySetDestFolder("cam"), 0);
    EXPECT_EQ(USBCopySetDestFolder("nosuch"), -1);
    EXPECT_EQ(Key("usbcopyfolder"), "cam");

    // Deleting the destination resets it to the default share.
    EXPECT_EQ(QAVOIShareDeleteOne("CAM"), 1);
    EXPECT_EQ(Key("usbcopyfolder"), "PUBLIC");
    // A destination whose section vanished reads back repaired.
    ASSERT_EQ(QAVOINFOSetKeyValue("usbcopyfolder", "gone"), 0);
    ASSERT_EQ(USBCopyGetDestFolder(buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "PUBLIC");
    EXPECT_EQ(USBCopyResetShareFolder("public", "public"), 1);
    EXPECT_EQ(Key("usbcopyfolder"), "");
    EXPECT_EQ(USBCopyResetShareFolder("cam", "other"), 0);
    EXPECT_EQ(USBCopyResetShareFolder(nullptr, "other"), -1);
    // With the model's copy port switched off, deletion does not look.
    WriteFile("/etc.defaults/qavoinfo.conf", "usbcopy=\"no\"\n");
    ASSERT_EQ(QAVOINFOSetKeyValue("usbcopyfolder", "PUBLIC"), 0);
    EXPECT_EQ(QAVOIShareDeleteOne("PUBLIC"), 1);
    EXPECT_EQ(Key("usbcopyfolder"), "PUBLIC");
}

}  // namespace
