#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "appliance.h"
#include "qavo_volume.h"
#include "slib_errcode.h"

namespace {

// Mounts a small tmpfs at a mount point of the sandbox, read-only when asked
// (after folders are made in it).
void MountTmpfs(const std::string &dir, const std::string &size = "1m", bool readOnly = false,
                const std::string &folder = "") {
    std::string cmd = "mkdir -p " + dir + " && mount -t tmpfs -o size=" + size + " tmpfs " + dir;
    if (!folder.empty()) cmd += " && mkdir -p " + dir + folder;
    if (readOnly) cmd += " && mount -o remount,ro " + dir;
    ASSERT_EQ(qtest::Sh(cmd), 0) << cmd;
}

struct ListFree {
    void operator()(PQAVOVOLINFOLIST l) const { QAVOVolInfoListFree(l); }
};
using ListPtr = std::unique_ptr<QAVOVOLINFOLIST, ListFree>;

std::vector<int> Numbers(PQAVOVOLINFOLIST list) {
    std::vector<int> out;
    for (; list; list = list->next)
        out.push_back(list->svi_number);
    return out;
}

TEST(VolIDGetByPath, ParsesTheVolumeNumber) {
    struct Case {
        const char *path;
        int result;
        SLIBERRCODE code;
    } cases[] = {
        {"/volume1/a", 1, 0},
        {"/volume9/a", 9, 0},  // no range check
        {"/volume12/share/sub", 12, 0},
        {"/volumeX/a", -1, ERR_NOT_VOLUME_PATH},
        {"/volume1/", -1, ERR_NOT_VOLUME_PATH},
        {"/volume1a/b", -1, ERR_NOT_VOLUME_PATH},
        {"/volume-1/a", -1, ERR_NOT_VOLUME_PATH},  // a sign is no volume number
        {"/volume 1/a", -1, ERR_NOT_VOLUME_PATH},
        {"/volume", -1, ERR_BAD_PARAMETERS},
        {"/volume1", -1, ERR_NOT_VOLUME_PATH},
        {"/volume12", -1, ERR_NOT_VOLUME_PATH},
        {"/volumeUSB1/usbshare", -1, ERR_NOT_VOLUME_PATH},
        {"/share/volume1/a", -1, ERR_BAD_PARAMETERS},
        {nullptr, -1, ERR_BAD_PARAMETERS},
    };
    for (const Case &c : cases) {
        SLIBErrSet(0);
        EXPECT_EQ(QAVOVolIDGetByPath(c.path), c.result) << (c.path ? c.path : "NULL");
        EXPECT_EQ(SLIBErrGet(), c.code) << (c.path ? c.path : "NULL");
    }
    std::string longest = "/volume1/" + std::string(485 - 9, 'a');
    EXPECT_EQ(QAVOVolIDGetByPath(longest.c_str()), 1);
    EXPECT_EQ(QAVOVolIDGetByPath((longest + "a").c_str()), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
}

TEST(VolIDIsValid, AcceptsOneToFour) {
    for (int n : {1, 2, 3, 4})
        EXPECT_EQ(BlQAVOVolIDIsValid(n), 1) << n;
    for (int n : {-1, 0, 5, 9})
        EXPECT_EQ(BlQAVOVolIDIsValid(n), 0) << n;
}

TEST(VolInfoList, NoVolumeMountedGivesNull) {
    EXPECT_EQ(QAVOVolInfoListGet(0), nullptr);
    EXPECT_EQ(QAVOVolInfoListGet(1), nullptr);
}

TEST(VolInfoList, ListsDataVolumesInNumberOrder) {
    MountTmpfs("/volume2", "2m");
    MountTmpfs("/volume1", "1m");
    MountTmpfs("/volumeUSB1", "1m");  // an external disk, no data volume
    MountTmpfs("/volume3", "1m", true);
    ListPtr list(QAVOVolInfoListGet(0));
    ASSERT_TRUE(list);
    EXPECT_EQ(Numbers(list.get()), (std::vector<int>{1, 2, 3}));
    PQAVOVOLINFOLIST v1 = list.get(), v2 = v1->next, v3 = v2->next;
    EXPECT_STREQ(v1->svi_mountpoint, "/volume1");
    EXPECT_STREQ(v1->svi_device, "tmpfs");
    EXPECT_EQ(v1->svi_mounted, 1);
    EXPECT_EQ(v1->svi_writeable, 1);
    EXPECT_EQ(v1->svi_total, 1024u * 1024u);
    EXPECT_EQ(v2->svi_total, 2u * 1024u * 1024u);
    EXPECT_GT(v2->svi_free, 0u);
    EXPECT_LE(v2->svi_free, v2->svi_total);
    EXPECT_EQ(v3->svi_writeable, 0);

    // With firstOnly the walk ends at the table's first data volume.
    ListPtr first(QAVOVolInfoListGet(1));
    ASSERT_TRUE(first);
    EXPECT_EQ(Numbers(first.get()), (std::vector<int>{2}));
}

TEST(VolInfoList, DeviceNameTooLongFailsTheList) {
    MountTmpfs("/volume1");
    ASSERT_EQ(
        qtest::Sh("mkdir -p /volume2 && mount -t tmpfs -o size=1m averyverylongdevice /volume2"),
        0);
    qtest::ClearSyslog();
    EXPECT_EQ(QAVOVolInfoListGet(0), nullptr);
    EXPECT_TRUE(qtest::SyslogHas(" Buffer too small. ", LOG_ERR));
}

TEST(VolInfoList, SortKeepsEqualNumbersInOrder) {
    QAVOVOLINFOLIST n[4] = {};
    const int numbers[] = {3, 1, 3, 2};
    for (int i = 0; i < 4; ++i) {
        n[i].svi_number = numbers[i];
        n[i].next = i < 3 ? &n[i + 1] : nullptr;
    }
    PQAVOVOLINFOLIST sorted = QAVOVolInfoListSort(&n[0]);
    EXPECT_EQ(Numbers(sorted), (std::vector<int>{1, 2, 3, 3}));
    EXPECT_EQ(sorted->next->next, &n[0]);
    EXPECT_EQ(QAVOVolInfoListSort(nullptr), nullptr);
    QAVOVolInfoListFree(nullptr);
}

TEST(VolAllVolumeScan, FindsTheFirstWritableVolumeHoldingTheFolder) {
    MountTmpfs("/volume1", "1m", true, "/@download");
    MountTmpfs("/volume2", "1m", false, "/@download");
    MountTmpfs("/volume3", "1m", false, "/@database/mysql");
    EXPECT_EQ(QAVOVolAllVolumeScan("/@download"), 2);  // volume 1 is read-only
    EXPECT_EQ(QAVOVolAllVolumeScan("/@database/mysql"), 3);
    EXPECT_EQ(QAVOVolAllVolumeScan("/@spool"), 0);
    EXPECT_EQ(QAVOVolAllVolumeScan(("/" + std::string(4100, 'a')).c_str()), 0);
    SLIBErrSet(0);
    EXPECT_EQ(QAVOVolAllVolumeScan("@download"), -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);
    EXPECT_EQ(QAVOVolAllVolumeScan(nullptr), -1);
}

TEST(VolAllVolumeScan, NoVolumeGivesZero) {
    // /volume1 of the sandbox is a plain folder, not a mounted volume.
    ASSERT_EQ(qtest::Sh("mkdir -p /volume1/@download"), 0);
    qtest::ClearSyslog();
    EXPECT_EQ(QAVOVolAllVolumeScan("/@download"), 0);
    EXPECT_TRUE(qtest::SyslogHas(" : no volume exist", LOG_ERR));
}

}  // namespace
