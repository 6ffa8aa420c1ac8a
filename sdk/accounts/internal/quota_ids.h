// Quotas by account id, for callers that resolved the ids themselves (a
// deletion clears the quotas of uids it read before the accounts went). Internal.
#pragma once

#include <cstdint>
#include <vector>

namespace sdk {

// Sets the block limits of id on device to blocks KiB, then syncs. 0, or -1
// with the quota error code.
int QuotaSetId(unsigned id, const char *device, uint64_t blocks);
// Removes the quotas of the ids on every data volume's device (the RAID
// volumes, or the single volume of models without RAID); all are tried.
// 0, or -1 with the code of the last failure.
int QuotaCleanIds(const std::vector<unsigned> &ids);

}  // namespace sdk
