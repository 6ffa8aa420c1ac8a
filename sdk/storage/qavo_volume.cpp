// Data volumes.
#include "qavo_volume.h"

#include "slib_errcode.h"

extern "C" int BlQAVOVolIDIsValid(int volume) {
    return volume >= QAVO_VOLUME_MIN && volume <= QAVO_VOLUME_MAX;
}

extern "C" int QAVOVolIDGetByPath(const char *) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    return -1;
}

extern "C" PQAVOVOLINFOLIST QAVOVolInfoListGet(int) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    return nullptr;
}

extern "C" PQAVOVOLINFOLIST QAVOVolInfoListSort(PQAVOVOLINFOLIST list) {
    return list;
}

extern "C" void QAVOVolInfoListFree(PQAVOVOLINFOLIST) {}

extern "C" int QAVOVolAllVolumeScan(const char *) {
    SLIBErrSet(ERR_BAD_PARAMETERS);
    return -1;
}
