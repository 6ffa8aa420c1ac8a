// The library's byte cipher: a permutation, its inverse and a reflector that
// pairs positions, all drawn from a key that the platform's crypt builds
// from a text and salt fixed here. Each byte's path through the rotors moves
// with two counters, so the same byte enciphers differently at every
// position, and running the output through the same pass gives the input.
#include "qavo_crypt.h"

#include <crypt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "slib_errcode.h"
#include "slib_rewrite.h"
#include "slib_util.h"

namespace {

constexpr const char *kSource = "sdk/qavocrypt";
// The key's source: changing either makes stored texts unreadable.
constexpr const char *kKeyText = "nas@qavo1";
constexpr const char *kKeySalt = "Qc";
constexpr int kKeyLen = 13;  // 12 characters of the hash and a zero byte

struct Tables {
    uint8_t perm[256];
    uint8_t inverse[256];
    uint8_t reflector[256];
};

// Builds the rotors from the key; false (0x8100) when crypt cannot make it.
bool InitTables(Tables &t) {
    memset(&t, 0, sizeof(t));
    unsigned char key[kKeyLen] = {};
    {
        std::unique_ptr<crypt_data> data(new (std::nothrow) crypt_data());
        if (!data) {
            SLIBErrSet(ERR_OUT_OF_MEMORY);
            return false;
        }
        const char *hash = crypt_r(kKeyText, kKeySalt, data.get());
        if (hash == nullptr || *hash == '*' || strlen(hash) < kKeyLen - 1) {
            SLIBLog(LOG_ERR, "%s %s(%d): crypt() failed", kSource, __func__, __LINE__);
            SLIBErrSet(ERR_SYSTEM_CALL);
            return false;
        }
        memcpy(key, hash, kKeyLen - 1);
        explicit_bzero(data.get(), sizeof(crypt_data));
    }
    uint32_t seed = 824;
    for (uint32_t i = 0; i < kKeyLen; ++i)
        seed = seed * key[i] + i;
    for (int i = 0; i < 256; ++i)
        t.perm[i] = static_cast<uint8_t>(i);
    for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t k = 255 - i;
        seed = 5 * seed + key[i % kKeyLen];
        const uint32_t r = seed % 65521;
        uint32_t j = (r & 0xFF) % (k + 1);
        std::swap(t.perm[k], t.perm[j]);
        // Every position below k that is still free has a partner left (an
        // even number of them stays free), so the search ends; position 0
        // is always paired by the time k reaches it.
        if (t.reflector[k] == 0 && k > 0) {
            j = ((r >> 8) & 0xFF) % k;
            while (t.reflector[j] != 0)
                j = (j + 1) % k;
            t.reflector[k] = static_cast<uint8_t>(j);
            t.reflector[j] = static_cast<uint8_t>(k);
        }
    }
    for (int i = 0; i < 256; ++i)
        t.inverse[t.perm[i]] = static_cast<uint8_t>(i);
    explicit_bzero(key, sizeof(key));
    return true;
}

// The transformation of one stream of bytes: the position counter moves
// with every byte and the lap counter with every 256.
struct Stream {
    const Tables &t;
    unsigned pos = 0;
    unsigned lap = 0;

    uint8_t Next(uint8_t c) {
        const uint8_t a = t.perm[(c + pos) & 0xFF];
        const uint8_t b = t.reflector[(a + lap) & 0xFF];
        const uint8_t out = static_cast<uint8_t>(t.inverse[(b - lap) & 0xFF] - pos);
        if (++pos == 256) {
            pos = 0;
            lap = (lap + 1) & 0xFF;
        }
        return out;
    }
};

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" int QAVOStrCrypt(const char *in, char *out, int outSize) {
    if (in == nullptr || out == nullptr) {
        SLIBLog(LOG_ERR, "%s %s(%d): wrong parameters", kSource, __func__, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    const size_t len = strlen(in);
    if (outSize <= 0 || static_cast<size_t>(outSize) <= len) {
        SLIBLog(LOG_ERR, "%s %s(%d): iLen is not enough!!", kSource, __func__, __LINE__);
        return slib::Fail(ERR_BUF_TOO_SMALL);
    }
    memset(out, 0, static_cast<size_t>(outSize));
    Tables t;
    if (!InitTables(t)) return -1;
    Stream s{t};
    for (size_t i = 0; i < len; ++i)
        out[i] = static_cast<char>(s.Next(static_cast<uint8_t>(in[i])));
    return 0;
}

extern "C" int QAVOFileCrypt(const char *path) {
    if (path == nullptr) {
        SLIBLog(LOG_ERR, "%s %s(%d): wrong parameters", kSource, __func__, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    slib::FilePtr src(fopen(path, "re"));
    if (!src) {
        SLIBLog(LOG_ERR, "Failed to open source file.(%s) ", strerror(errno));
        return slib::Fail(ERR_OPEN_FAILED);
    }
    // Only a regular file has content to replace; a device or a directory
    // must never be renamed over.
    struct stat st;
    if (fstat(fileno(src.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
        SLIBLog(LOG_ERR, "%s %s(%d): %s is not a regular file", kSource, __func__, __LINE__, path);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    Tables t;
    if (!InitTables(t)) return -1;
    try {
        // A file that already has the copy's name is someone else's.
        const std::string tmp = std::string(path) + "." + std::to_string(getpid());
        struct stat other;
        if (lstat(tmp.c_str(), &other) == 0) {
            SLIBLog(LOG_ERR, "Failed to open target file.(%s) ", strerror(EEXIST));
            return slib::Fail(ERR_OPEN_FAILED);
        }
        slib::RewriteSet rw;
        FILE *dst = rw.Open(path, tmp);
        if (dst == nullptr) {
            SLIBLog(LOG_ERR, "Failed to open target file.(%s) ", strerror(errno));
            return -1;
        }
        Stream s{t};
        unsigned char buf[1 << 14];
        size_t n;
        while ((n = fread_unlocked(buf, 1, sizeof(buf), src.get())) > 0) {
            for (size_t i = 0; i < n; ++i)
                buf[i] = s.Next(buf[i]);
            if (fwrite_unlocked(buf, 1, n, dst) != n) {
                SLIBLog(LOG_ERR, "Failed to write date. (%s) ", strerror(errno));
                return slib::Fail(ERR_WRITE_FAILED);
            }
        }
        // A read error is not the end of the file: the copy is incomplete
        // and must not replace the original.
        if (ferror(src.get())) {
            SLIBLog(LOG_ERR, "Failed to read data. (%s) ", strerror(errno));
            return slib::Fail(ERR_READ_FAILED);
        }
        src.reset();
        if (fflush(dst) != 0) {
            SLIBLog(LOG_ERR, "%s(%d): fflush failed", __func__, __LINE__);
            return slib::Fail(ERR_WRITE_FAILED);
        }
        if (fsync(fileno(dst)) != 0) {
            SLIBLog(LOG_ERR, "%s(%d): fsync failed", __func__, __LINE__);
            return slib::Fail(ERR_WRITE_FAILED);
        }
        if (!rw.Commit()) {
            SLIBLog(LOG_ERR, "%s %s(%d): cannot replace %s (%s)", kSource, __func__, __LINE__, path,
                    strerror(rw.RenameError() ? rw.RenameError() : errno));
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVOStrCryptHex(const char *in, char *out, int outSize) {
    if (in == nullptr || out == nullptr || outSize <= 0) {
        SLIBLog(LOG_ERR, "%s %s(%d): wrong parameters", kSource, __func__, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    const size_t len = strlen(in);
    if (static_cast<size_t>(outSize) <= 2 * len) return slib::Fail(ERR_BUF_TOO_SMALL);
    memset(out, 0, static_cast<size_t>(outSize));
    Tables t;
    if (!InitTables(t)) return -1;
    Stream s{t};
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < len; ++i) {
        const uint8_t c = s.Next(static_cast<uint8_t>(in[i]));
        out[2 * i] = digits[c >> 4];
        out[2 * i + 1] = digits[c & 0xF];
    }
    return 0;
}

extern "C" int QAVOStrDecryptHex(const char *hex, char *out, int outSize) {
    if (hex == nullptr || out == nullptr || outSize <= 0) {
        SLIBLog(LOG_ERR, "%s %s(%d): wrong parameters", kSource, __func__, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    const size_t len = strlen(hex);
    if (len % 2 != 0) return slib::Fail(ERR_BAD_PARAMETERS);
    if (static_cast<size_t>(outSize) <= len / 2) return slib::Fail(ERR_BUF_TOO_SMALL);
    Tables t;
    if (!InitTables(t)) return -1;
    Stream s{t};
    memset(out, 0, static_cast<size_t>(outSize));
    for (size_t i = 0; i < len / 2; ++i) {
        const int hi = HexValue(hex[2 * i]);
        const int lo = HexValue(hex[2 * i + 1]);
        // Only text was enciphered: a zero byte means the stored form is not ours.
        const uint8_t c = hi < 0 || lo < 0 ? 0 : s.Next(static_cast<uint8_t>(hi << 4 | lo));
        if (c == 0) {
            memset(out, 0, static_cast<size_t>(outSize));
            return slib::Fail(ERR_BAD_PARAMETERS);
        }
        out[i] = static_cast<char>(c);
    }
    return 0;
}
