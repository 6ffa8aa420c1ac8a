#include "qavo_manutil.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "flash_io.h"
#include "qavo_mtd.h"
#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_str.h"
#include "slib_util.h"

static_assert(sizeof(VENDORPARTINFO) == QAVO_VENDOR_INFO_SIZE);
static_assert(offsetof(VENDORPARTINFO, mac2) == 7);
static_assert(offsetof(VENDORPARTINFO, serial) == QAVO_VENDOR_SN_OFFSET);

using qflash::Fd;
using slib::Fail;

namespace {

constexpr const char *kModelFile = "/etc.defaults/qavoinfo.conf";
constexpr const char *kHwVersionFile = "/proc/sys/kernel/qavo_hw_version";
constexpr const char *kStressDevice = "/dev/mtd5";
constexpr const char *kStressFile = "/var/log/stress.data";
constexpr const char *kConfList = "/usr/qavo/etc/manutil.conf";
// The source name the manufacturing messages carry.
constexpr const char *kSource = "sdk/qavomanutil";
constexpr const char *kMsysId = "M-Sys Ver 1.1";
// Rewrites of the vendor block go to flash in pieces of this size; pieces
// that are still erased after the erase are not written.
constexpr size_t kPiece = 4096;

// The device that holds the MAC and serial blocks.
const char *VendorDevice() {
    return BlQAVOIsPomletModel() ? QAVO_VENDOR_DEVICE_POMLET : QAVO_VENDOR_DEVICE;
}

uint8_t Sum(const uint8_t *p, size_t n) {
    unsigned s = 0;
    for (size_t i = 0; i < n; ++i)
        s += p[i];
    return static_cast<uint8_t>(s);
}

// Reads up to len bytes at offset of a device or file (cleared first).
int ReadAt(const char *path, off_t offset, void *buf, size_t len, ssize_t *got = nullptr) {
    memset(buf, 0, len);
    Fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return Fail(ERR_OPEN_FAILED);
    if (lseek(fd.fd, offset, SEEK_SET) != offset) return Fail(ERR_VENDOR_DATA);
    ssize_t n = qflash::ReadFull(fd.fd, buf, len);
    if (n < 0) return Fail(ERR_READ_FAILED);
    if (got) *got = n;
    return 0;
}

// Writes the pieces of image that are not all 0xFF to an erased device.
bool WriteErased(const char *dev, const std::vector<uint8_t> &image) {
    Fd fd(open(dev, O_WRONLY | O_CLOEXEC));
    if (!fd.ok()) return false;
    for (size_t at = 0; at < image.size(); at += kPiece) {
        size_t n = std::min(kPiece, image.size() - at);
        const uint8_t *p = image.data() + at;
        bool erased = true;
        for (size_t i = 0; i < n && erased; ++i)
            erased = p[i] == 0xFF;
        if (erased) continue;
        if (lseek(fd.fd, static_cast<off_t>(at), SEEK_SET) != static_cast<off_t>(at) ||
            !qflash::WriteFull(fd.fd, p, n))
            return false;
    }
    return true;
}

// True when the device reads back as image.
bool Verify(const char *dev, const std::vector<uint8_t> &image) {
    std::unique_ptr<uint8_t[]> back(new (std::nothrow) uint8_t[image.size()]);
    Fd fd(open(dev, O_RDONLY | O_CLOEXEC));
    return back && fd.ok() &&
           qflash::ReadFull(fd.fd, back.get(), image.size()) ==
               static_cast<ssize_t>(image.size()) &&
           memcmp(back.get(), image.data(), image.size()) == 0;
}

// Stores the 43-byte vendor block at the start of the vendor device. On
// erasable flash (unlocked first: a NOR chip powers up locked, on both
// editions) the whole device is read, changed in memory, erased, written and
// read back; a failed erase, write or read-back writes the old contents back.
// A device without flash geometry is written in place.
int StoreVendorBlock(const char *func, const uint8_t *block, SLIBERRCODE writeErr) {
    const char *dev = VendorDevice();
    mtd_info_user info{};
    if (QAVOMTDGetDeviceInfo(dev, &info, sizeof info) != 0 || info.erasesize == 0 ||
        info.size < QAVO_VENDOR_INFO_SIZE) {
        Fd fd(open(dev, O_WRONLY | O_CLOEXEC));
        if (!fd.ok()) return Fail(ERR_OPEN_FAILED);
        if (!qflash::WriteFull(fd.fd, block, QAVO_VENDOR_INFO_SIZE)) return Fail(writeErr);
        return 0;
    }
    if (QAVOMTDUnlockPartition(dev) != 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) QAVOMTDUnlockPartition(%s) fail", kSource, __LINE__, func, dev);
        return Fail(writeErr);
    }
    std::vector<uint8_t> saved, image;
    try {
        saved.resize(info.size);
        ssize_t got = 0;
        if (ReadAt(dev, 0, saved.data(), saved.size(), &got) != 0) return -1;
        if (got != static_cast<ssize_t>(saved.size())) return Fail(ERR_READ_FAILED);
        image = saved;
    } catch (const std::bad_alloc &) {
        return Fail(ERR_OUT_OF_MEMORY);
    }
    memcpy(image.data(), block, QAVO_VENDOR_INFO_SIZE);

    bool erased = QAVOMTDErasePartition(dev) == 0;
    if (!erased)
        SLIBLog(LOG_ERR, "%s:%d(%s) QAVOMTDErasePartition(%s) fail", kSource, __LINE__, func, dev);
    if (erased && WriteErased(dev, image) && Verify(dev, image)) return 0;
    if (erased) SLIBLog(LOG_ERR, "%s:%d(%s) write(%s) fail", kSource, __LINE__, func, dev);
    // Put the old contents back (an erase that was refused changed nothing).
    if (QAVOMTDErasePartition(dev) != 0 || !WriteErased(dev, saved) || !Verify(dev, saved))
        SLIBLog(LOG_ERR, "%s:%d(%s) restore(%s) fail", kSource, __LINE__, func, dev);
    return Fail(writeErr);
}

}  // namespace

extern "C" int BlQAVOIsPomletModel(void) {
    char model[100] = {};
    if (SLIBFileGetKeyValue(kModelFile, "unique", model, sizeof model, 0) <= 0) return 0;
    size_t len = strlen(model);
    if (len < 6) return 0;
    if (strncmp(model, "sdkdebug", 8) == 0) return 1;
    if (len >= 7 && strcmp(model + len - 7, "_pomlet") == 0) return 1;
    slib::FilePtr fp(fopen(kHwVersionFile, "re"));
    char line[100];
    if (!fp || !fgets(line, sizeof line, fp.get())) return 0;
    size_t n = strlen(line);
    if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
    return n >= 2 && strcmp(line + n - 2, "-y") == 0 ? 1 : 0;
}

extern "C" int QAVOManutilGetMacAddr(unsigned char *pBuffer) {
    if (!pBuffer) return Fail(ERR_BAD_PARAMETERS);
    if (ReadAt(VendorDevice(), QAVO_VENDOR_MAC_OFFSET, pBuffer, QAVO_VENDOR_MAC_SIZE) != 0)
        return -1;
    for (unsigned char *mac : {pBuffer, pBuffer + 7})
        if (Sum(mac, 6) != mac[6]) memset(mac, 0, 6);
    return 0;
}

extern "C" int QAVOManutilGetSN(unsigned char *pBuffer) {
    if (!pBuffer) return Fail(ERR_BAD_PARAMETERS);
    if (ReadAt(VendorDevice(), QAVO_VENDOR_SN_OFFSET, pBuffer, QAVO_VENDOR_SN_SIZE) != 0) return -1;
    if (Sum(pBuffer, 10) != pBuffer[10]) memset(pBuffer, 0, 10);
    return 0;
}

extern "C" int QAVOManutilSetMacAddr(const unsigned char *pMac) {
    if (!pMac) return Fail(ERR_BAD_PARAMETERS);
    uint8_t block[QAVO_VENDOR_INFO_SIZE] = {};
    if (QAVOManutilGetSN(block + QAVO_VENDOR_SN_OFFSET) != 0) {
        printf("get serial number error\n");
        return -1;
    }
    memcpy(block + QAVO_VENDOR_MAC_OFFSET, pMac, QAVO_VENDOR_MAC_SIZE);
    // A failed write reports a read failure here, as it always has.
    return StoreVendorBlock(__func__, block, ERR_READ_FAILED);
}

extern "C" int QAVOManutilSetSN(const unsigned char *pSerial) {
    if (!pSerial) return Fail(ERR_BAD_PARAMETERS);
    uint8_t block[QAVO_VENDOR_INFO_SIZE] = {};
    if (QAVOManutilGetMacAddr(block + QAVO_VENDOR_MAC_OFFSET) != 0) {
        printf("get MAC error\n");
        return -1;
    }
    memcpy(block + QAVO_VENDOR_SN_OFFSET, pSerial, QAVO_VENDOR_SN_SIZE);
    return StoreVendorBlock(__func__, block, ERR_WRITE_FAILED);
}

extern "C" int QAVOManutilGetIDString(char *pBuffer, int cbBuffer) {
    if (!pBuffer || cbBuffer < QAVO_VENDOR_IDSTRING_SIZE + 1) return Fail(ERR_BAD_PARAMETERS);
    if (BlQAVOIsMSysFlash()) {
        memcpy(pBuffer, kMsysId, strlen(kMsysId) + 1);
        return 0;
    }
    ssize_t got = 0;
    if (ReadAt(QAVO_VENDOR_DEVICE, QAVO_VENDOR_IDSTRING_OFFSET, pBuffer, QAVO_VENDOR_IDSTRING_SIZE,
               &got) != 0)
        return -1;
    pBuffer[got] = '\0';
    return 0;
}

extern "C" int QAVOManutilBurnInRead(void *pBuffer) {
    if (!pBuffer) return Fail(ERR_BAD_PARAMETERS);
    bool pomlet = BlQAVOIsPomletModel();
    Fd fd(pomlet ? open(kStressFile, O_RDONLY | O_CREAT | O_CLOEXEC, 0644)
                 : open(kStressDevice, O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return Fail(ERR_OPEN_FAILED);
    if (lseek(fd.fd, QAVO_BURNIN_OFFSET, SEEK_SET) != QAVO_BURNIN_OFFSET)
        return Fail(ERR_VENDOR_DATA);
    if (qflash::ReadFull(fd.fd, pBuffer, QAVO_BURNIN_SIZE) < 0) return Fail(ERR_READ_FAILED);
    return 0;
}

extern "C" int QAVOManutilBurnInWrite(void *pRecord) {
    if (!pRecord) return Fail(ERR_BAD_PARAMETERS);
    int result = 0;
    {
        bool pomlet = BlQAVOIsPomletModel();
        Fd fd(pomlet ? open(kStressFile, O_WRONLY | O_CREAT | O_CLOEXEC, 0644)
                     : open(kStressDevice, O_WRONLY | O_CLOEXEC));
        if (!fd.ok()) return Fail(ERR_OPEN_FAILED);
        if (lseek(fd.fd, QAVO_BURNIN_OFFSET, SEEK_SET) != QAVO_BURNIN_OFFSET)
            return Fail(ERR_VENDOR_DATA);
        // The flash it is written to powers up locked.
        if (!pomlet && QAVOMTDUnlockPartition(kStressDevice) != 0) {
            SLIBLog(LOG_ERR, "%s:%d(%s) QAVOMTDUnlockPartition(%s) fail", kSource, __LINE__,
                    __func__, kStressDevice);
            result = Fail(ERR_WRITE_FAILED);
        } else if (!qflash::WriteFull(fd.fd, pRecord, QAVO_BURNIN_SIZE)) {
            result = Fail(ERR_WRITE_FAILED);
        }
    }
    (void)QAVOManutilBurnInRead(pRecord);
    return result;
}

extern "C" int QAVOManutilBurnIn(void *pBuffer, int op) {
    if (op == QAVO_BURNIN_READ) return QAVOManutilBurnInRead(pBuffer);
    if (op == QAVO_BURNIN_WRITE) return QAVOManutilBurnInWrite(pBuffer);
    return Fail(ERR_BAD_PARAMETERS);
}

extern "C" int QAVOManutilGetConfList(PSLIBSZLIST *pplist) {
    if (!pplist || !*pplist) return Fail(ERR_BAD_PARAMETERS);
    slib::FilePtr fp(fopen(kConfList, "re"));
    if (!fp) return Fail(ERR_OPEN_FAILED);
    char line[1024];
    while (fgets(line, sizeof line, fp.get())) {
        size_t n = strlen(line);
        if (n == sizeof line - 1 && line[n - 1] != '\n') {
            // A line longer than the buffer: its rest is no item of its own.
            int c;
            while ((c = fgetc(fp.get())) != EOF && c != '\n') {
            }
        }
        if (line[0] == '\n' || line[0] == '#') continue;
        if (SLIBStrTrimSpace(line, nullptr) <= 0) continue;  // a blank line
        (void)SLIBSzListPush(pplist, line);
    }
    return 0;
}
