// Flash directory and partition sizing: a directory device of any bytes
// read (size query, then exactly that room), and the resizing of the
// edition's patch records with sizes, balances and the erase block taken
// from the input: a layout it accepts has no negative balance and no
// overlapping partitions, one it refuses is left as it was.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "qavo_mtd.h"
#include "updt_patchinfo.h"

namespace {

const char kDir[] = "/tmp/fuzz.fisdir";

uint32_t Word(const uint8_t *&p, const uint8_t *end) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = v << 8 | (p < end ? *p++ : 0);
    return v;
}

// Two partitions share a byte (a layout given overlapping stays so).
bool Overlap(const PATCHINFO &a, const PATCHINFO &b) {
    if (a.size == 0 || b.size == 0) return false;
    const uint64_t a0 = a.start, a1 = a0 + a.size, b0 = b.start, b1 = b0 + b.size;
    return a0 < b1 && b0 < a1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    qfuzz::Put(kDir, std::string_view(reinterpret_cast<const char *>(data), size));
    int needed = -1;
    const int n = QAVOMTDGetPartitionInfo(kDir, nullptr, 0, &needed);
    if (n > 0) {
        QFUZZ_CHECK(needed == n * QAVO_FIS_ENTRY_SIZE);
        const size_t count = static_cast<size_t>(needed) / sizeof(FISDIRENTRY) +
                             (needed % sizeof(FISDIRENTRY) ? 1 : 0);
        std::vector<FISDIRENTRY> entries(std::max<size_t>(count, 1));
        const int room = static_cast<int>(entries.size() * sizeof(FISDIRENTRY));
        QFUZZ_CHECK(QAVOMTDGetPartitionInfo(kDir, entries.data(), room, &needed) == n);
        GetIdxByName("zImage", entries.data(), n);
    }

    // Sizing: the rows of the edition with numbers from the input.
    const uint8_t *p = data + 1, *end = data + size;
    UPDTSelectEdition(data[0] & 1);
    gEraseBlockSize = 1u << (12 + (data[0] >> 1) % 8);
    std::vector<PATCHINFO> rows(gPatchInfo, gPatchInfo + nPatchRows);
    for (PATCHINFO &r : rows) {
        r.start = Word(p, end);
        r.size = Word(p, end);
        r.datalen = Word(p, end);
        r.balance = static_cast<int8_t>(Word(p, end));
        r.delta = 0;
    }
    std::vector<PATCHINFO> before = rows;
    const int n2 = static_cast<int>(rows.size());
    if (ErrUPDTAdjustPartitionSize(rows.data(), n2) == 0) {
        QFUZZ_CHECK(!BlUPDTNegativeBalance(rows.data(), n2));
        for (int i = 0; i < n2; ++i)
            for (int j = i + 1; j < n2; ++j)
                QFUZZ_CHECK(!Overlap(rows[i], rows[j]) || Overlap(before[i], before[j]));
    } else {
        for (int i = 0; i < n2; ++i)
            QFUZZ_CHECK(memcmp(&rows[i], &before[i], sizeof(PATCHINFO)) == 0);
    }
    return 0;
}
