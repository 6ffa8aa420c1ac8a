// Adding many shares at once, for the configuration import. Internal to the
// library.
#pragma once

#include "qavo_share.h"

namespace shareint {

// Adds new shares under one hold of the smb.conf lock, with one read and one
// rewrite of smb.conf: each checked, its folder made and its section built,
// logged and linked as QAVOShareSet(1, NULL, shares[i]) does for one share.
// results[i] is 1 for a share added, -1 (with the code of its failure in
// codes[i] when codes is given) for one that was not; a share refused costs
// only itself. The number added, or -1 when none could be (lock, reading or
// writing smb.conf).
int AddShares(const QAVOSHARE *const *shares, int count, int *results, int *codes = nullptr);

}  // namespace shareint
