// Storage and external devices over hostile files. The first byte chooses
// the family, the rest is cut at form feeds into the files and the values
// it needs:
//   0 USB devices: the kernel's device list, the USB ID list, usbtab;
//   1 USB numbers: the number map, usbguidtab and the used list; a disk
//     registered is found again under its number;
//   2 backup disk: the first sector and the label sector of a disk, the
//     backup share list; a list stored reads back;
//   3 printer: its device ID (and the length it claims), the [printers]
//     section;
//   4 disks: partition list, health flags and fstab; a flag set reads back,
//     an fstab line added is found and removed again;
//   5 volume progress files;
//   6 external share rights: the rights map; a second read of a disk's
//     section gives what the first one left;
//   7 eSATA tab and the USB copy folder.
// The kernel's files the sandbox cannot place under /proc (and the
// printer's answers) come from /sim through the kernel shim linked in.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qavo_disk.h"
#include "qavo_extshare.h"
#include "qavo_printer.h"
#include "qavo_raid.h"
#include "qavo_sata.h"
#include "qavo_sharemgmt.h"
#include "qavo_usbbackup.h"
#include "qavo_usbcopy.h"
#include "qavo_usbdev.h"
#include "qavo_usbvol.h"
#include "qavo_volfs.h"
#include "qavo_volume.h"
#include "slib_keyvalue.h"
#include "slib_szhash.h"

namespace {

const char *const kUsbDevices = "/sim/proc/bus/usb/devices";
const char *const kPartitions = "/sim/proc/partitions";
const char *const kDisk = "fuzzdisk";
const char *const kDiskPath = "/dev/fuzzdisk";

template <size_t N>
bool Terminated(const char (&s)[N]) {
    return memchr(s, '\0', N) != nullptr;
}

int Byte(const std::string &s, size_t i) {
    return i < s.size() ? static_cast<unsigned char>(s[i]) : 0;
}

void Mkdirs(const char *path) {
    std::string p(path);
    for (size_t at = 1; (at = p.find('/', at)) != std::string::npos; ++at)
        mkdir(p.substr(0, at).c_str(), 0755);
}

// ------------------------------------------------------------ USB devices

void CheckUsb(const QAVOUSB &r) {
    QFUZZ_CHECK(Terminated(r.driver) && Terminated(r.manufacturer) && Terminated(r.product));
}

void UsbDevices(const std::vector<std::string> &p) {
    qfuzz::Put(kUsbDevices, p[0]);
    qfuzz::Put(QAVO_USB_MAP, p[1]);
    qfuzz::Put(QAVO_USB_TAB, p[2]);

    int needed = 0;
    const int kinds = QAVO_USB_TYPE_STORAGE | QAVO_USB_TYPE_PRINTER;
    if (QAVOUSBDevEnum(kinds, nullptr, 0, &needed) > 0 && needed > 0) {
        auto area = std::make_unique<char *[]>(static_cast<size_t>(needed) / sizeof(char *) + 1);
        int ignored = 0;
        QFUZZ_CHECK(QAVOUSBDevEnum(kinds, area.get(), needed - 1, &ignored) == -1);
        const int n = QAVOUSBDevEnum(kinds, area.get(), needed, &needed);
        const char *lo = reinterpret_cast<const char *>(area.get());
        for (int i = 0; i < n; ++i) {
            const char *name = area[static_cast<size_t>(i)];
            QFUZZ_CHECK(name >= lo + sizeof(char *) * static_cast<size_t>(n) &&
                        name + strlen(name) < lo + needed);
            QAVOUSB rec;
            if (QAVOUSBDevGetInfo(name, &rec) == 0) CheckUsb(rec);
        }
    }
    QAVOUSB *list = nullptr;
    const int n = QAVOUSBDevListGetInfo(&list);
    for (int i = 0; i < n; ++i)
        CheckUsb(list[i]);
    free(list);

    // Names of the ID list into buffers of the input's sizes.
    const int mSize = Byte(p[3], 0) % 64 + 1, pSize = Byte(p[3], 1) % 64 + 1;
    auto maker = std::make_unique<char[]>(static_cast<size_t>(mSize));
    auto product = std::make_unique<char[]>(static_cast<size_t>(pSize));
    maker[0] = product[0] = '\0';
    const int vendor = Byte(p[3], 2) << 8 | Byte(p[3], 3);
    const int id = Byte(p[3], 4) << 8 | Byte(p[3], 5);
    if (QAVOUSBIGetNames(vendor, maker.get(), mSize, id, product.get(), pSize) == 0) {
        QFUZZ_CHECK(strlen(maker.get()) < static_cast<size_t>(mSize));
        QFUZZ_CHECK(strlen(product.get()) < static_cast<size_t>(pSize));
    }
    std::string path = qfuzz::CText(p[4]);
    QAVOUSB rec;
    if (QAVOUSBDevBusnoGetInfo(path.data(), &rec) == 0) CheckUsb(rec);
}

// ------------------------------------------------------------ USB numbers

void UsbNumbers(const std::vector<std::string> &p) {
    qfuzz::Put(SZF_USBNO_GUID_MAP, p[0]);
    qfuzz::Put(SZF_USBGUIDTAB, p[1]);
    qfuzz::Put(SZF_USBDISKAPPLYING, p[2]);
    const std::string guid = qfuzz::CText(p[3]);
    int number = 0;
    if (QAVOUSBIGetPostFixNumberByGUID(guid.c_str(), &number) == 0)
        QFUZZ_CHECK(number >= QAVO_USB_POSTFIX_MIN && number <= QAVO_USB_POSTFIX_MAX);

    // The first free number: taken, it is no longer free; given back, it is
    // the first free one again.
    const int free1 = QAVOUSBIFindPostFixNumber(nullptr);
    QFUZZ_CHECK(free1 == -1 || (free1 >= QAVO_USB_POSTFIX_MIN && free1 <= QAVO_USB_POSTFIX_MAX));
    if (free1 > 0 && QAVOIModifyUSBUsedList(free1, 0) == 0) {
        QFUZZ_CHECK(QAVOUSBIFindPostFixNumber(nullptr) != free1);
        if (QAVOIModifyUSBUsedList(free1, 1) == 0)
            QFUZZ_CHECK(QAVOUSBIFindPostFixNumber(nullptr) == free1);
    }

    // A disk registered is found under its number. (The map's reader takes a
    // line that starts with "=" for no entry at all, while its writer takes
    // the piece after it for the key: such a line is left out here.)
    const bool plain = (p[0].empty() || p[0][0] != '=') && p[0].find("\n=") == std::string::npos;
    const std::string device = qfuzz::CText(p[4]);
    char old[QAVO_USB_GUID_MAX + 1];
    number = 0;
    if (QAVOUSBRegisterPostFixNumber(device.c_str(), &number, old, sizeof old) == 0 && plain) {
        QFUZZ_CHECK(number >= QAVO_USB_POSTFIX_MIN && number <= QAVO_USB_POSTFIX_MAX);
        QFUZZ_CHECK(Terminated(old));
        int again = 0;
        QFUZZ_CHECK(QAVOUSBIGetPostFixNumberByDev(device.c_str(), &again) == 0);
        QFUZZ_CHECK(again == number);
        QFUZZ_CHECK(QAVOUSBIFindPostFixNumber(device.c_str()) == number);
    }
}

// ------------------------------------------------------------ backup disk

void BackupDisk(const std::vector<std::string> &p) {
    // A sparse disk: the first sector and the label sector from the input.
    const int fd = open(kDiskPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    QFUZZ_CHECK(fd >= 0);
    const off_t size = static_cast<off_t>(USBBKP_PART_START + 64) * 512;
    QFUZZ_CHECK(ftruncate(fd, size) == 0);
    const size_t n0 = p[0].size() < 512 ? p[0].size() : 512;
    const size_t n1 = p[1].size() < 512 ? p[1].size() : 512;
    QFUZZ_CHECK(pwrite(fd, p[0].data(), n0, 0) == static_cast<ssize_t>(n0));
    QFUZZ_CHECK(pwrite(fd, p[1].data(), n1, static_cast<off_t>(USBBKP_UBDI_SECTOR) * 512) ==
                static_cast<ssize_t>(n1));
    close(fd);
    qfuzz::Put(SLIB_QAVOINFO_PATH, p[2]);

    uint8_t label[512];
    int fs = -1;
    if (USBBKPIsDevBkpDisk(kDisk, label, &fs) == 0) {
        QFUZZ_CHECK(memcmp(label, USBBKP_UBDI_MAGIC, USBBKP_UBDI_MAGIC_LEN) == 0);
        QFUZZ_CHECK(fs >= 0 && fs <= 3);
    }
    const int floppy = BlQAVOUSBIsFATSuperFloppy(kDisk);
    QFUZZ_CHECK(floppy == 0 || floppy == 1);

    int needed = 0;
    const int count = USBBKPGetBackupShares(nullptr, 0, &needed);
    if (count > 0) {
        auto area = std::make_unique<char *[]>(static_cast<size_t>(needed) / sizeof(char *) + 1);
        int ignored = 0;
        QFUZZ_CHECK(USBBKPGetBackupShares(area.get(), needed - 1, &ignored) == -1);
        QFUZZ_CHECK(USBBKPGetBackupShares(area.get(), needed, &needed) == count);
        for (int i = 0; i < count; ++i)
            QFUZZ_CHECK(strlen(area[static_cast<size_t>(i)]) < USBBKP_SHARE_SLOT);
    }

    // A list stored reads back: its non-empty names in order (names hold no
    // comma, as share names do not).
    std::vector<std::string> names;
    for (const std::string &line : qfuzz::Lines(qfuzz::CText(p[3])))
        if (line.find(',') == std::string::npos) names.push_back(line);
    std::vector<char *> ptrs;
    std::vector<std::string> want;
    for (std::string &s : names) {
        ptrs.push_back(s.data());
        if (!s.empty()) want.push_back(s.substr(0, USBBKP_SHARE_SLOT - 1));
    }
    if (USBBKPSetBackupShares(ptrs.data(), static_cast<int>(ptrs.size())) != 0) return;
    needed = 0;
    const int got = USBBKPGetBackupShares(nullptr, 0, &needed);
    if (got < 0) return;  // no room: maxshares of the input
    auto area = std::make_unique<char *[]>(static_cast<size_t>(needed) / sizeof(char *) + 1);
    const int again = got > 0 ? USBBKPGetBackupShares(area.get(), needed, &needed) : 0;
    // "maxshares" bounds the value's length.
    size_t length = 0;
    for (const std::string &w : want)
        length += w.size() + 1;
    char bound[8] = "";
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, SZK_MAXSHARES, bound, sizeof bound, 0) > 0 &&
        atoi(bound) > 0 && length > static_cast<size_t>(atoi(bound)) * USBBKP_SHARE_SLOT)
        return;
    QFUZZ_CHECK(again == static_cast<int>(want.size()));
    for (int i = 0; i < again; ++i)
        QFUZZ_CHECK(want[static_cast<size_t>(i)] == area[static_cast<size_t>(i)]);
}

// ------------------------------------------------------------ printer

void Printer(const std::vector<std::string> &p) {
    qfuzz::Put("/sim/printer/lp0.id", p[0]);
    // A printer that may lie about the length of its answer.
    std::string state;
    if (Byte(p[1], 0) & 1) state = "length " + std::to_string(Byte(p[1], 1) << 8 | Byte(p[1], 2));
    qfuzz::Put("/sim/printer/lp0.state", state);
    qfuzz::Put(SZF_QAVO_SMB_CONF, p[2]);

    const int size = (Byte(p[1], 3) << 8 | Byte(p[1], 4)) % 5000 + 1;
    auto buf = std::make_unique<char[]>(static_cast<size_t>(size));
    const int r = QAVOPrinterGetID("lp0", buf.get(), size);
    if (r == 0) QFUZZ_CHECK(strlen(buf.get()) < static_cast<size_t>(size));
    if (r > 0) QFUZZ_CHECK(strlen(buf.get()) == static_cast<size_t>(size) - 1 && r - 2 >= size);
    const int ps = QAVOPrinterSupportPostScript("lp0");
    QFUZZ_CHECK(ps >= -1 && ps <= 1);
    const int valid = BlQAVOPrinterSectionIsValid();
    QFUZZ_CHECK(valid == 0 || valid == 1);
}

// ------------------------------------------------------------ disks

std::vector<std::string> Fields(const std::string &line) {
    std::vector<std::string> out;
    size_t at = 0;
    while ((at = line.find_first_not_of(" \t", at)) != std::string::npos) {
        const size_t end = line.find_first_of(" \t", at);
        out.push_back(line.substr(at, end == std::string::npos ? end : end - at));
        at = end;
    }
    return out;
}

// Lines an fstab edit treats as entries of the mount point (as text, up to
// a NUL byte).
bool Entry(const std::string &line, const std::string &point) {
    if (!line.empty() && (line[0] == '#' || line[0] == ';')) return false;
    const auto f = Fields(qfuzz::CText(line));
    return f.size() >= 2 && f[1] == point;
}

void Disks(const std::vector<std::string> &p) {
    qfuzz::Put(kPartitions, p[0]);
    qfuzz::Put(QAVO_HD_HEALTH_FILE, p[1]);
    qfuzz::Put(QAVO_FSTAB, p[2]);

    uint32_t *numbers = nullptr;
    const int n = QAVODiskDevNumEnum(QAVO_DISK_TYPE_INTERNAL, &numbers);
    for (int i = 0; i < n; ++i) {
        QAVODISKDEVINFO *info = nullptr;
        if (QAVODiskInfoGetByDevNum(QAVO_DISK_TYPE_INTERNAL, numbers[i], &info) == 0) {
            QFUZZ_CHECK(info != nullptr && Terminated(info->name));
            free(info);
        }
    }
    free(numbers);

    QAVOHDHealthGet();
    static const int kFlags[] = {QAVO_HD_HEALTH_HDA3_RO,    QAVO_HD_HEALTH_HDA3_MOUNT,
                                 QAVO_HD_HEALTH_HDA1_MOUNT, QAVO_HD_HEALTH_HDA3_PART,
                                 QAVO_HD_HEALTH_HDA1_PART,  QAVO_HD_HEALTH_HDA,
                                 QAVO_HD_HEALTH_SKIPUI};
    const int flag = kFlags[Byte(p[3], 0) % 7];
    const int on = Byte(p[3], 1) & 1;
    if (QAVOHDHealthFlagSet(flag, on) == 0) QFUZZ_CHECK(((QAVOHDHealthGet() & flag) != 0) == on);

    // An fstab line added is there as written; removed, every line of its
    // mount point is gone and the others stay as they were.
    const std::string dev = qfuzz::CText(p[4]), point = qfuzz::CText(p[5]),
                      type = qfuzz::CText(p[6]);
    if (QAVOFstabAdd(dev.c_str(), point.c_str(), type.c_str()) != 0) return;
    const auto added = qfuzz::Lines(qfuzz::ReadAll(QAVO_FSTAB));
    QFUZZ_CHECK(!added.empty() && added.back() == dev + " " + point + " " + type + " defaults 0 0");
    if (QAVOFstabRemove(point.c_str()) != 0) return;
    std::vector<std::string> want;
    for (const std::string &l : added)
        if (!Entry(l, point)) want.push_back(l);
    QFUZZ_CHECK(qfuzz::Lines(qfuzz::ReadAll(QAVO_FSTAB)) == want);
}

// ------------------------------------------------------------ volumes

// Whether the file-system progress reader finds a count at once (without
// one it waits for the maker to write one).
bool HasCount(const char *path) {
    FILE *fp = fopen(path, "re");
    if (!fp) return false;
    char line[128];
    bool found = false;
    int d, t;
    while (!found && fgets(line, sizeof line, fp))
        found = sscanf(line, "%d/%d", &d, &t) == 2;
    fclose(fp);
    return found;
}

void Volumes(const std::vector<std::string> &p) {
    qfuzz::Put(QAVO_VOLUME_ADD_PROGRESS, p[0]);
    qfuzz::Put(QAVO_VOLUME_REPAIR_PROGRESS, p[1]);
    qfuzz::Put("/tmp/resize2fs.progress.extend.fz", p[2]);
    qfuzz::Put(SLIB_QAVOINFO_PATH, p[3]);
    const std::string mkfs = std::string(QAVO_MKFS_PROGRESS) + ".md2";
    qfuzz::Put(mkfs.c_str(), p[4]);

    int percent = -1;
    if (QAVOVolExpandProgressByPass("/tmp/resize2fs.progress.extend.fz", &percent) == 0)
        QFUZZ_CHECK(percent >= 0);
    const int running = BlQAVOVolRepairRunning(nullptr);
    QFUZZ_CHECK(running == 0 || running == 1);

    // The creation steps that wait for an array or a file-system maker are
    // left out: they poll while those run.
    char step[16] = "";
    SLIBFileGetKeyValue(QAVO_VOLUME_ADD_PROGRESS, "STEP", step, sizeof step, 0);
    if (strcmp(step, "MDSYNC") != 0 && strcmp(step, "VOLINIT") != 0) {
        VOLINITSTATUS st{};
        if (VolInitStatusGet(&st) == 0)
            QFUZZ_CHECK(st.step >= QAVO_VOLINIT_START && st.step <= QAVO_VOLINIT_DEFINIT);
    }
    if (HasCount(mkfs.c_str())) {
        const int made = QAVOVolRaidMkfsProgress(0);
        QFUZZ_CHECK(made >= 0 && made <= 100);
    }

    QAVORAIDVOLSTATUS rec{};
    rec.md = Byte(p[5], 0) % 8;
    rec.level = Byte(p[5], 1) % 7;
    rec.designed = Byte(p[5], 2) % 5;
    rec.status = Byte(p[5], 3) % 3;
    const int kind = QAVOVolRaidTypeGet(&rec);
    QFUZZ_CHECK(kind >= 0 && kind <= 3);
}

// ------------------------------------------------------------ share rights

std::string Value(PSLIBSZHASH h, const char *key) {
    const char *v = SzSLIBSzHashGetValue(h, key);
    return v ? v : "";
}

void ShareRights(const std::vector<std::string> &p) {
    qfuzz::Put(SZF_SHARE_RIGHT_MAP, p[0]);
    qfuzz::Put(SZF_USBGUIDTAB, p[1]);
    qfuzz::Put(QAVO_USB_TAB, "");  // the disk's comment: none listed
    const std::string share = qfuzz::CText(p[2]);
    const int sata = Byte(p[3], 0) & 1;
    PSLIBSZHASH first = PshSLIBSzHashAlloc(512), second = PshSLIBSzHashAlloc(512);
    QFUZZ_CHECK(first && second);
    if (QAVOIUSBShareRightGet("sdb", share.c_str(), "/volumeUSB1/usbshare", &first, sata) == 0 &&
        QAVOIUSBShareRightGet("sdb", share.c_str(), "/volumeUSB1/usbshare", &second, sata) == 0) {
        for (const char *key : {"guid", "comment", "write list", "read list", "invalid users"})
            QFUZZ_CHECK(Value(first, key) == Value(second, key));
    }
    SLIBSzHashFree(first);
    SLIBSzHashFree(second);
}

// ------------------------------------------------------------ eSATA, USB copy

void SataAndCopy(const std::vector<std::string> &p) {
    qfuzz::Put(SZF_SATATAB, p[0]);
    qfuzz::Put(SLIB_QAVOINFO_PATH, p[1]);
    qfuzz::Put(SZF_QAVO_SMB_CONF, p[2]);
    qfuzz::Put(SZF_USBDISKAPPLYING, "");
    const int in = BlQAVOSATAIsInTab();
    QFUZZ_CHECK(in == 0 || in == 1);
    const int size = Byte(p[3], 0) % 64 + 1;
    auto folder = std::make_unique<char[]>(static_cast<size_t>(size));
    if (USBCopyGetDestFolder(folder.get(), size) == 0)
        QFUZZ_CHECK(strlen(folder.get()) < static_cast<size_t>(size));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    for (const char *f : {kUsbDevices, kPartitions, QAVO_USB_MAP, SZF_USBNO_GUID_MAP,
                          "/sim/printer/lp0.id", SZF_PRINTER_DEV, SZF_QAVO_SMB_CONF})
        Mkdirs(f);
    // The printer's node, a plain file the shim answers for, and two USB
    // disks' nodes (only their presence is asked).
    for (const char *node : {SZF_PRINTER_DEV, "/dev/sdb", "/dev/sdc"})
        qfuzz::Put(node, "");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const auto p = qfuzz::Parts(data + 1, size - 1, 7);
    switch (data[0] % 8) {
        case 0:
            UsbDevices(p);
            break;
        case 1:
            UsbNumbers(p);
            break;
        case 2:
            BackupDisk(p);
            break;
        case 3:
            Printer(p);
            break;
        case 4:
            Disks(p);
            break;
        case 5:
            Volumes(p);
            break;
        case 6:
            ShareRights(p);
            break;
        default:
            SataAndCopy(p);
            break;
    }
    return 0;
}
