#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "appliance.h"
#include "disk_sim.h"
#include "qavo_usbdev.h"
#include "raid_sim.h"
#include "slib_errcode.h"

namespace {

// A hub, a disk with two interfaces at the front port, a printer.
constexpr const char *kDevices =
    "T:  Bus=01 Lev=00 Prnt=00 Port=00 Cnt=00 Dev#=  1 Spd=480 MxCh= 4\n"
    "P:  Vendor=1d6b ProdID=0002 Rev= 2.06\n"
    "S:  Manufacturer=Linux ehci_hcd\n"
    "S:  Product=EHCI Host Controller\n"
    "I:* If#= 0 Alt= 0 #EPs= 1 Cls=09(hub  ) Sub=00 Prot=00 Driver=hub\n"
    "\n"
    "T:  Bus=01 Lev=01 Prnt=01 Port=99 Cnt=01 Dev#=  3 Spd=480 MxCh= 0\n"
    "D:  Ver= 2.00 Cls=00(>ifc ) Sub=00 Prot=00 MxPS=64 #Cfgs=  1\n"
    "P:  Vendor=0781 ProdID=5567 Rev= 1.26\n"
    "S:  Manufacturer=Own Maker Name\n"
    "S:  Product=Cruzer Blade\n"
    "S:  SerialNumber=4C530001\n"
    "I:* If#= 0 Alt= 0 #EPs= 2 Cls=08(stor.) Sub=06 Prot=50 Driver=usb-storage\n"
    "I:  If#= 1 Alt= 0 #EPs= 1 Cls=03(HID  ) Sub=01 Prot=01 Driver=usbhid\n"
    "\n"
    "T:  Bus=02 Lev=01 Prnt=01 Port=01 Cnt=01 Dev#=  2 Spd=12  MxCh= 0\n"
    "P:  Vendor=04a9 ProdID=1094 Rev= 1.00\n"
    "S:  Manufacturer=Canon\n"
    "S:  Product=iP4200 printer\n"
    "I:* If#= 0 Alt= 0 #EPs= 2 Cls=07(print) Sub=01 Prot=02 Driver=usblp\n";

constexpr const char *kMap =
    "# USB ID list\n"
    "0781  SanDisk Corp.  \n"
    "\t5151  Cruzer Micro\n"
    "\t5530  Cruzer\n"
    "1d6b  Linux Foundation\n"
    "\t0002  2.0 root hub\n";

void Fixture() {
    dsim::UsbDevices(kDevices);
    qtest::WriteFile("/usr/qavo/etc/usb.map", kMap);
    rsim::AddDisk("sdb", 4096);
    qtest::WriteFile("/tmp/usbtab",
                     "sdb=\"/proc/bus/usb/001/003\"\nlp0=\"/proc/bus/usb/002/002\"\n"
                     "sdc=\"/proc/bus/usb/001/004\"\n");
}

TEST(UsbDev, OneDeviceWithMapNames) {
    Fixture();
    QAVOUSB rec;
    ASSERT_EQ(QAVOUSBDevGetInfo("sdb", &rec), 0);
    EXPECT_EQ(rec.type, QAVO_USB_TYPE_STORAGE);
    EXPECT_EQ(rec.bus, 1);
    EXPECT_EQ(rec.level, 1);
    EXPECT_EQ(rec.devNum, 3);
    EXPECT_EQ(rec.speed, 480);
    EXPECT_EQ(rec.cls, 8);
    EXPECT_EQ(rec.subCls, 6);
    EXPECT_EQ(QAVOUSBGetPort(&rec), QAVO_USB_FRONT_PORT);
    EXPECT_EQ(rec.vendorId, 0x0781);
    EXPECT_EQ(rec.productId, 0x5567);
    EXPECT_STREQ(rec.driver, "usb-storage");
    EXPECT_STREQ(rec.manufacturer, "SanDisk Corp.");  // from the map
    EXPECT_STREQ(rec.product, "Cruzer Blade");        // not in the map: its own

    ASSERT_EQ(QAVOUSBDevGetInfo("lp0", &rec), 0);
    EXPECT_EQ(rec.type, QAVO_USB_TYPE_PRINTER);
    EXPECT_EQ(rec.speed, 12);
    EXPECT_STREQ(rec.manufacturer, "Canon");  // vendor not listed
    EXPECT_EQ(QAVOUSBGetPort(nullptr), -1);

    EXPECT_EQ(QAVOUSBDevGetInfo("sdc", &rec), -1);  // not in the device list
    SLIBErrSet(0);
    EXPECT_EQ(QAVOUSBDevGetInfo("sdd", &rec), -1);  // not in usbtab
    EXPECT_EQ(SLIBErrGet(), ERR_BAD_PARAMETERS);

    char path[] = "/proc/bus/usb/002/002";
    ASSERT_EQ(QAVOUSBDevBusnoGetInfo(path, &rec), 0);
    EXPECT_EQ(rec.type, QAVO_USB_TYPE_OTHER);
    EXPECT_STREQ(rec.driver, "usblp");
    EXPECT_STREQ(path, "/proc/bus/usb/002");
}

TEST(UsbDev, UsbtabValueForms) {
    struct Case {
        const char *value;
        int ok, bus, dev;
    } cases[] = {
        {"/proc/bus/usb/001/003", 1, 1, 3},
        {"/proc/bus/usb/001/003/", 0, 0, 0},
        {"/proc/bus/usb/002/010", 1, 2, 10},
        {"003", 0, 0, 0},
        {"/003", 0, 0, 0},
        {"/proc/bus/usb/x/003", 0, 0, 0},
        {"", 0, 0, 0},
    };
    for (const Case &c : cases) {
        qtest::WriteFile("/tmp/usbtab", std::string("sdb=\"") + c.value + "\"\n");
        int bus = -1, dev = -1;
        EXPECT_EQ(QAVOUSBIGetNumByName("sdb", &bus, &dev), c.ok ? 0 : -1) << c.value;
        if (c.ok) {
            EXPECT_EQ(bus, c.bus) << c.value;
            EXPECT_EQ(dev, c.dev) << c.value;
        }
    }
    EXPECT_TRUE(qtest::SyslogHas("format error, szValue = [003]"));
}

TEST(UsbDev, ListFormOneRecordPerInterface) {
    Fixture();
    QAVOUSB *list = nullptr;
    ASSERT_EQ(QAVOUSBDevListGetInfo(&list), 4);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0].type, 0);  // the hub is no attached device
    EXPECT_STREQ(list[0].product, "2.0 root hub");
    EXPECT_EQ(list[1].type, QAVO_USB_TYPE_STORAGE | QAVO_USB_TYPE_ATTACHED);
    EXPECT_EQ(list[1].port, 99);
    EXPECT_EQ(list[1].cls, 8);
    EXPECT_EQ(list[1].vendorId, 0);
    EXPECT_STREQ(list[1].manufacturer, "SanDisk Corp.");
    // The second interface: no bus and device number of its own.
    EXPECT_EQ(list[2].bus, 0);
    EXPECT_EQ(list[2].devNum, 0);
    EXPECT_EQ(list[2].cls, 3);
    EXPECT_STREQ(list[2].driver, "usbhid");
    EXPECT_EQ(list[3].type, QAVO_USB_TYPE_PRINTER | QAVO_USB_TYPE_ATTACHED);
    EXPECT_STREQ(list[3].product, "iP4200 printer");
    free(list);
}

TEST(UsbDev, EnumerationByKindAndBufferSize) {
    Fixture();
    int needed = -1;
    // Storage needs its node (sdc has none); printers are listed without.
    ASSERT_EQ(QAVOUSBDevEnum(QAVO_USB_TYPE_STORAGE | QAVO_USB_TYPE_PRINTER, nullptr, 0, &needed),
              2);
    const int want = static_cast<int>(2 * sizeof(char *) + 4 + 4);
    EXPECT_EQ(needed, want);
    ASSERT_EQ(QAVOUSBDevEnum(QAVO_USB_TYPE_PRINTER, nullptr, 0, &needed), 1);

    // A buffer of exactly the size asked holds every name, without overlap.
    std::vector<char> exact(static_cast<size_t>(want));
    char **buf = reinterpret_cast<char **>(exact.data());
    ASSERT_EQ(QAVOUSBDevEnum(QAVO_USB_TYPE_STORAGE | QAVO_USB_TYPE_PRINTER, buf, want, &needed), 2);
    EXPECT_STREQ(buf[0], "sdb");
    EXPECT_STREQ(buf[1], "lp0");

    std::vector<char> small(static_cast<size_t>(want - 1));
    SLIBErrSet(0);
    EXPECT_EQ(QAVOUSBDevEnum(QAVO_USB_TYPE_STORAGE | QAVO_USB_TYPE_PRINTER,
                             reinterpret_cast<char **>(small.data()), want - 1, &needed),
              -1);
    EXPECT_EQ(SLIBErrGet(), ERR_BUF_TOO_SMALL);

    EXPECT_EQ(QAVOUSBDevEnum(1, nullptr, 0, &needed), -1);
    EXPECT_EQ(QAVOUSBDevEnum(2, nullptr, 8, &needed), -1);
    EXPECT_EQ(QAVOUSBDevEnum(2, nullptr, 0, nullptr), -1);
    qtest::RemoveFile("/tmp/usbtab");
    EXPECT_EQ(QAVOUSBDevEnum(2, nullptr, 0, &needed), 0);
    EXPECT_EQ(needed, 0);
}

TEST(UsbDev, NamesFromTheMap) {
    qtest::WriteFile("/usr/qavo/etc/usb.map", kMap);
    char m[8] = "own", p[64] = "own";
    EXPECT_EQ(QAVOUSBIGetNames(0x781, m, sizeof m, 0x5151, p, sizeof p), 0);
    EXPECT_STREQ(m, "SanDisk");  // cut to the buffer
    EXPECT_STREQ(p, "Cruzer Micro");
    strcpy(p, "own");
    EXPECT_EQ(QAVOUSBIGetNames(0x1D6B, m, sizeof m, 0x5151, p, sizeof p), 0);
    EXPECT_STREQ(p, "own");  // the product belongs to another vendor
    strcpy(m, "own");
    EXPECT_EQ(QAVOUSBIGetNames(0x1234, m, sizeof m, 1, p, sizeof p), -1);
    EXPECT_STREQ(m, "own");
    EXPECT_EQ(QAVOUSBIGetNames(0x781, nullptr, 0, 1, p, sizeof p), -1);
}

TEST(UsbDev, TokenValueAndNodeQuery) {
    PSLIBSZLIST l = PslSLIBSzListAlloc(512);
    ASSERT_NE(l, nullptr);
    for (const char *t : {"T:", "Bus", "01", "Spd"})
        ASSERT_GE(SLIBSzListPush(&l, t), 0);
    EXPECT_STREQ(SzQAVOUSBIGetTokenValue(l, "Bus"), "01");
    EXPECT_EQ(SzQAVOUSBIGetTokenValue(l, "Spd"), nullptr);
    EXPECT_EQ(SzQAVOUSBIGetTokenValue(l, "Lev"), nullptr);
    SLIBSzListFree(l);

    dsim::AddDrive("sdb", "node 0x21\n");
    EXPECT_EQ(QAVOUSBIQueryDevNode("sdb"), 0x21);
    EXPECT_EQ(QAVOUSBIQueryDevNode("sdz"), -1);
}

}  // namespace
