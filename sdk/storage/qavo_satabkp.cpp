// The eSATA disk in the backup role: the arrival of the labelled backup
// disk on the eSATA port, taking the role over from the disk that held it.
#include <syslog.h>

#include <cstring>
#include <string>

#include "qavo_sata.h"
#include "qavo_sata_util.h"
#include "qavo_usbbackup.h"
#include "qavo_usbbkpdisk.h"
#include "qavo_usbbkpinfo.h"
#include "qavo_usbmount_util.h"
#include "slib_errcode.h"
#include "slib_lock.h"
#include "slib_util.h"

using namespace satam;

namespace {

constexpr uint32_t kFailedBits =
    USB_BKP_STATUS_ONLINE | USB_BKP_STATUS_BACKING_UP | USB_BKP_STATUS_INITIATING;

}  // namespace

extern "C" int QAVOSATAHotPlugIn(const char *device, const uint8_t label[512], int fsCode) {
    if (!device || !label) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    if (!usbm::PlainDevice(device) || fsCode < 0 || fsCode > 2)
        return slib::Fail(ERR_BAD_PARAMETERS);
    slib::ScopedLock lock(SLIB_LOCK_USBIDMAP, SLIB_LOCK_EX, kLockWait);
    if (!lock.Held()) {
        SLIBLog(LOG_ERR, "%s(%d): ErrSLIBFileLock() failed.", kSource, __LINE__);
        return slib::Fail(ERR_LOCK_FAILED);
    }
    int result = 0;
    [&, fn = __func__]() {
        if (!SetTab(device)) {
            result = -1;
            return;
        }
        QAVOUSBBACKUPINFO r;
        if (QAVOUSBGetBackupInfo(&r) != 0) {
            SLIBLog(LOG_ERR, "%s(%d): QAVOUSBGetBackupInfo() error", fn, __LINE__);
            result = -1;
            return;
        }
        std::string replaced;
        if (r.status & USB_BKP_STATUS_ONLINE) {
            char local[USBBKP_UBDI_ID_LEN + 1] = "";
            if (USBBKPGetBkpIDFromLocal(local, sizeof local) < 0) {
                SLIBLog(LOG_ERR, "%s(%d): USBBKPGetBkpIDFromLocal() error", fn, __LINE__);
                result = -1;
                return;
            }
            if (!local[0] ||
                strncmp(local, reinterpret_cast<const char *>(label) + USBBKP_UBDI_ID_OFFSET,
                        USBBKP_UBDI_ID_LEN) != 0)
                return;
            if (r.status & USB_BKP_STATUS_BACKING_UP) {
                usbm::EraseBackupLabelId(device);
                return;
            }
            replaced.assign(r.device, strnlen(r.device, sizeof r.device));
            if (replaced == device) replaced.clear();
        }
        if (usbm::WriteBackupTakeOver(device) != 0) {
            SLIBLog(LOG_ERR, "%s(%d): QAVOUSBSetBackupInfoEx failed", fn, __LINE__);
            result = -1;
            return;
        }
        if (!replaced.empty()) usbm::UnmountReplacedUsb(replaced);
        if (QAVOSATAVolMount(device, fsCode, 0, 1) != 0) {
            SLIBLog(LOG_ERR, "%s: failed to QAVOSATAVolMount. Set %s off-line.", fn, device);
            QAVOUSBSetBackupInfoStatus(kFailedBits, 1);
            if (!replaced.empty()) USBBKPSetAlternativeBkpDisk(device);
            result = -1;
            return;
        }
        if (!usbm::EndInitiating(fn, device)) {
            result = -1;
        }
    }();
    Success(device);
    if (!lock.Release()) return slib::Fail(ERR_UNLOCK_FAILED);
    return result;
}
