// The event log: a ring file of any bytes exported (the walker from the
// start to the end pointer, with the event texts, also of any bytes, filled
// in), a record appended to it within a chosen maximum (which drops the
// oldest records), exported again, and a record body turned into its text.
#include <sys/stat.h>

#include <memory>
#include <string>

#include "fuzz_support.h"
#include "slib_eventlog.h"
#include "slib_logtext.h"

namespace {

const char kLog[] = "/var/log/qavoconn.log";
const char kOut[] = "/tmp/fuzz.export";
const char kTexts[] = "/usr/qavo/qavosdk/texts/enu/events";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qfuzz::RequireAppliance();
    // The connection log at its default path.
    unlink(QAVOLOG_CONF_PATH);
    mkdir("/var/log", 0755);
    mkdir("/usr/qavo/qavosdk", 0755);
    mkdir("/usr/qavo/qavosdk/texts", 0755);
    mkdir("/usr/qavo/qavosdk/texts/enu", 0755);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const long max = QAVOLOG_SIZE_MIN + data[0] * 64L;
    auto parts = qfuzz::Parts(data + 1, size - 1, 3);
    const std::string &texts = parts[0], &args = parts[1], &log = parts[2];
    qfuzz::Put(kTexts, texts);
    qfuzz::Put(kLog, log);

    QAVOLogExport(QAVOLOG_CLASS_CONN, kOut, "enu");
    auto a = qfuzz::Parts(reinterpret_cast<const uint8_t *>(args.data()), args.size(), 4);
    QAVOLogRecordWrite(kLog, data[0] & 7, 0x11100000u + (data[0] & 0xF), a[0].c_str(), a[1].c_str(),
                       a[2].c_str(), a[3].c_str(), max);
    QAVOLogExport(QAVOLOG_CLASS_CONN, kOut, "enu");

    // One record body of exactly its bytes.
    FILE *out = fopen(kOut, "we");
    QFUZZ_CHECK(out);
    auto body = std::make_unique<unsigned char[]>(log.size() + 1);
    memcpy(body.get(), log.data(), log.size());
    QAVOLogRecordToText(out, body.get(), "enu", static_cast<int>(log.size()));
    fclose(out);
    return 0;
}
