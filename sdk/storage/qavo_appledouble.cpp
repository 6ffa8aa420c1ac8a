// AppleDouble-aware copy of "._" companion files. Every byte format is
// big-endian and read and written field by field.
#include "qavo_appledouble.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "slib_errcode.h"
#include "slib_rewrite.h"
#include "slib_util.h"

extern "C" {
volatile int gfQAVOCopyCancel = 0;
}

namespace {

// Largest piece of a resource fork read and written at once.
constexpr size_t kPiece = 16384;
// The AFP service's forms: their entry counts and where they keep the data.
constexpr uint16_t kV1FormEntries = 5;
constexpr uint16_t kV2FormEntries = 13;
constexpr uint32_t kV1FinderOffset = 557;
constexpr uint32_t kV1RforkOffset = kV1FinderOffset + QAVO_AD_FINDER_LEN;
constexpr uint32_t kV2FinderOffset = 653;
constexpr uint32_t kV2RforkOffset = 741;
// Header, two descriptors and the Finder information of the compact form.
constexpr size_t kCompactPrefix = QAVO_AD_RFORK_OFFSET;
static_assert(QAVO_AD_HEADER_SIZE + 2 * QAVO_AD_DESC_SIZE == QAVO_AD_FINDER_OFFSET);
static_assert(QAVO_AD_FINDER_OFFSET + QAVO_AD_FINDER_LEN == QAVO_AD_RFORK_OFFSET);
// Characters a companion's name may not hold on the target.
constexpr const char *kForbidden = "\\/:*?\"><|\r\n";

uint16_t Get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Get32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void Put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void Put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

struct Header {
    uint32_t magic;
    uint32_t version;
    uint8_t filler[16];
    uint16_t entries;
};

Header ParseHeader(const uint8_t *p) {
    Header h;
    h.magic = Get32(p);
    h.version = Get32(p + 4);
    memcpy(h.filler, p + 8, sizeof(h.filler));
    h.entries = Get16(p + 24);
    return h;
}

void PutHeader(uint8_t *p, const Header &h) {
    Put32(p, h.magic);
    Put32(p + 4, h.version);
    memcpy(p + 8, h.filler, sizeof(h.filler));
    Put16(p + 24, h.entries);
}

// The entries of a source the compact form keeps: the first descriptor of
// each id.
struct Entries {
    bool finder = false;
    uint32_t finderOffset = 0;
    bool rfork = false;
    uint32_t rforkOffset = 0;
    uint32_t rforkLength = 0;
};

int FindEntries(const uint8_t *desc, int count, Entries &e) {
    for (int i = 0; i < count; ++i, desc += QAVO_AD_DESC_SIZE) {
        const uint32_t id = Get32(desc);
        const uint32_t offset = Get32(desc + 4);
        const uint32_t length = Get32(desc + 8);
        if (id == QAVO_AD_ENTRY_FINDER && !e.finder) {
            if (length != QAVO_AD_FINDER_LEN) {
                SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) Finder information of length %u", length);
                return QAVO_AD_ERR_FINDERLEN;
            }
            e.finder = true;
            e.finderOffset = offset;
        } else if (id == QAVO_AD_ENTRY_RFORK && !e.rfork) {
            e.rfork = true;
            e.rforkOffset = offset;
            e.rforkLength = length;
        }
    }
    return 0;
}

// The compact form's two descriptors: Finder information, then the fork.
void PutDescriptors(uint8_t *p, uint32_t rforkLength) {
    Put32(p, QAVO_AD_ENTRY_FINDER);
    Put32(p + 4, QAVO_AD_FINDER_OFFSET);
    Put32(p + 8, QAVO_AD_FINDER_LEN);
    Put32(p + 12, QAVO_AD_ENTRY_RFORK);
    Put32(p + 16, QAVO_AD_RFORK_OFFSET);
    Put32(p + 20, rforkLength);
}

int WriteError(int err) {
    if (err == ENOSPC) return QAVO_AD_ERR_NOSPACE;
    if (err == EIO) return QAVO_AD_ERR_EIO;
    return QAVO_AD_ERR_IO;
}

int ReadError(int err) {
    return err == EIO ? QAVO_AD_ERR_EIO : QAVO_AD_ERR_IO;
}

// Writes all of buf: 0 or a result code.
int WriteAll(int fd, const uint8_t *buf, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return WriteError(n < 0 ? errno : EIO);
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

// Reads len bytes at offset: 0, or a result code (the end of the file
// before them is a read failure).
int ReadAt(int fd, uint8_t *buf, size_t len, off_t offset) {
    while (len > 0) {
        ssize_t n = pread(fd, buf, len, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ReadError(errno);
        if (n == 0) return QAVO_AD_ERR_IO;
        buf += n;
        len -= static_cast<size_t>(n);
        offset += n;
    }
    return 0;
}

bool Cancelled() {
    return gfQAVOCopyCancel != 0;
}

// A descriptor closed when it goes out of scope.
using slib::Fd;

// The destination's last path component, the "._" prefix after its first
// two characters.
int CheckName(const char *dst) {
    const char *slash = strrchr(dst, '/');
    const char *name = slash ? slash + 1 : dst;
    if (strlen(name) >= 2 && strcasecmp(name + 2, "Icon\r") == 0) return QAVO_AD_ERR_ICON;
    if (strpbrk(name, kForbidden)) return QAVO_AD_ERR_BADCHAR;
    return 0;
}

int CopyBytes(int srcFd, uint64_t at, uint64_t size, int dstFd);

// Opens the source and reads its header: 0 or a result code.
int OpenSource(const char *src, Fd &fd, uint8_t *header) {
    fd.fd = open(src, O_RDONLY | O_CLOEXEC);
    if (fd.fd < 0) {
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) failed to open [%s], errno=%d", src, errno);
        return QAVO_AD_ERR_OPEN;
    }
    const int rc = ReadAt(fd.fd, header, QAVO_AD_HEADER_SIZE, 0);
    if (rc != 0) SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) failed to read the header of [%s]", src);
    return rc;
}

// Writes the compact form of the open source into the open, new
// destination: 0 or a result code.
int WriteCompact(int srcFd, const struct stat &srcSt, const Header &h, int dstFd) {
    const int count = h.entries;
    std::vector<uint8_t> desc(static_cast<size_t>(count) * QAVO_AD_DESC_SIZE);
    int rc = ReadAt(srcFd, desc.data(), desc.size(), QAVO_AD_HEADER_SIZE);
    if (rc != 0) return rc;
    Entries e;
    if ((rc = FindEntries(desc.data(), count, e)) != 0) return rc;

    // The AFP service's own forms are read at their fixed offsets, every
    // other source where its descriptors say.
    const bool afpForm = (h.version == QAVO_AD_VERSION1 && count == kV1FormEntries) ||
                         (h.version == QAVO_AD_VERSION2 && count == kV2FormEntries);
    uint64_t finderAt = e.finderOffset;
    uint64_t rforkAt = e.rforkOffset;
    if (afpForm) {
        const bool v1 = h.version == QAVO_AD_VERSION1;
        finderAt = v1 ? kV1FinderOffset : kV2FinderOffset;
        rforkAt = v1 ? kV1RforkOffset : kV2RforkOffset;
    }
    const bool finder = afpForm || e.finder;
    const uint64_t rforkLength = e.rforkLength;
    const uint64_t size = static_cast<uint64_t>(srcSt.st_size);
    if ((finder && finderAt + QAVO_AD_FINDER_LEN > size) ||
        (rforkLength > 0 && rforkAt + rforkLength > size)) {
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) an entry runs past the source's end (%llu bytes)",
                    static_cast<unsigned long long>(size));
        return QAVO_AD_ERR_IO;
    }

    // Header, descriptors and Finder information (zeros when the source has
    // none) go out in one write, then the fork piece by piece.
    uint8_t prefix[kCompactPrefix] = {};
    Header out = h;
    out.version = QAVO_AD_VERSION2;
    out.entries = 2;
    PutHeader(prefix, out);
    PutDescriptors(prefix + QAVO_AD_HEADER_SIZE, e.rforkLength);
    if (Cancelled()) return QAVO_AD_ERR_CANCEL;
    if (finder && (rc = ReadAt(srcFd, prefix + QAVO_AD_FINDER_OFFSET, QAVO_AD_FINDER_LEN,
                               static_cast<off_t>(finderAt))) != 0)
        return rc;
    if ((rc = WriteAll(dstFd, prefix, sizeof(prefix))) != 0) return rc;

    if ((rc = CopyBytes(srcFd, rforkAt, rforkLength, dstFd)) != 0) return rc;
    if (fchmod(dstFd, 0777) != 0) return errno == EIO ? QAVO_AD_ERR_EIO : QAVO_AD_ERR_CHMOD;
    return 0;
}

// Copies the rest of the open source, from offset at on, to the open
// destination: 0 or a result code.
int CopyBytes(int srcFd, uint64_t at, uint64_t size, int dstFd) {
    std::vector<uint8_t> piece(static_cast<size_t>(std::min<uint64_t>(kPiece, size)));
    for (uint64_t done = 0; done < size;) {
        if (Cancelled()) return QAVO_AD_ERR_CANCEL;
        const size_t n = static_cast<size_t>(std::min<uint64_t>(kPiece, size - done));
        int rc;
        if ((rc = ReadAt(srcFd, piece.data(), n, static_cast<off_t>(at + done))) != 0 ||
            (rc = WriteAll(dstFd, piece.data(), n)) != 0)
            return rc;
        done += n;
    }
    return 0;
}

// The destination is written as a new file beside it ("<dst>.tmp") that
// replaces it only when complete: a failure or a cancel keeps an older
// destination as it was. A destination that is a symbolic link is refused,
// never followed, and so is the source itself. write fills the new file's
// descriptor: 0 or a result code.
template <typename Write>
int Replace(int srcFd, const char *srcPath, const char *dst, Write write) {
    struct stat srcSt, dstSt;
    if (fstat(srcFd, &srcSt) != 0) return ReadError(errno);
    if (lstat(dst, &dstSt) == 0) {
        if (S_ISLNK(dstSt.st_mode)) {
            SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) [%s] is a symbolic link", dst);
            return QAVO_AD_ERR_OPEN;
        }
        if (srcSt.st_dev == dstSt.st_dev && srcSt.st_ino == dstSt.st_ino) {
            SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) [%s] and [%s] are the same file", srcPath, dst);
            return QAVO_AD_ERR_ARGS;
        }
    }
    slib::RewriteSet rw;
    FILE *fp = rw.Open(dst);
    if (!fp) {
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) failed to create the copy of [%s], errno=%d", dst, errno);
        return QAVO_AD_ERR_OPEN;
    }
    // Written through the descriptor only: the stream stays empty.
    int rc = write(srcSt, fileno(fp));
    if (rc == 0 && Cancelled()) rc = QAVO_AD_ERR_CANCEL;
    if (rc != 0) return rc;  // the set removes its copy
    if (!rw.Commit()) {
        const int err = rw.RenameError() ? rw.RenameError() : errno;
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) failed to replace [%s], errno=%d", dst, err);
        return WriteError(err);
    }
    return 0;
}

// The AppleDouble magic number.
constexpr uint32_t kMagic = 0x00051607;

// The conversion of an open source whose header was read.
int Convert(Fd &src, const uint8_t *headerBytes, const char *srcPath, const char *dst) {
    const Header h = ParseHeader(headerBytes);
    if (h.magic != kMagic) {
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) [%s] is no AppleDouble file (magic %08X)", srcPath,
                    h.magic);
        return QAVO_AD_ERR_ARGS;
    }
    if (h.version != QAVO_AD_VERSION1 && h.version != QAVO_AD_VERSION2) {
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) [%s] has version %08X", srcPath, h.version);
        return QAVO_AD_ERR_ARGS;
    }
    return Replace(src.fd, srcPath, dst, [&](const struct stat &srcSt, int out) {
        // A compact source is copied byte for byte.
        if (h.version == QAVO_AD_VERSION2 && h.entries == 2)
            return CopyBytes(src.fd, 0, static_cast<uint64_t>(srcSt.st_size), out);
        return WriteCompact(src.fd, srcSt, h, out);
    });
}

// The plain copy: the source's bytes as they are.
int PlainCopy(const char *src, const char *dst) {
    Fd fd;
    fd.fd = open(src, O_RDONLY | O_CLOEXEC);
    if (fd.fd < 0) {
        SLIB_LOG_FN(LOG_ERR, "%s:%d(%s) failed to open [%s], errno=%d", src, errno);
        return QAVO_AD_ERR_ARGS;
    }
    const int rc = Replace(fd.fd, src, dst, [&](const struct stat &srcSt, int out) {
        return CopyBytes(fd.fd, 0, static_cast<uint64_t>(srcSt.st_size), out);
    });
    // A plain copy that fails is -1 (a link at the destination -2, as for
    // the conversion), unless cancelled.
    if (rc == QAVO_AD_ERR_OPEN || rc == QAVO_AD_ERR_CANCEL || rc == 0) return rc;
    return QAVO_AD_ERR_ARGS;
}

// Conversion entry of both versions (the source's own header decides which
// form it is): modes 0 and 1 convert, 2 and 3 copy plainly.
int ConvertPath(const char *src, const char *dst, int mode) {
    if (!src || !dst || mode < QAVO_AD_MODE_CONVERT || mode > QAVO_AD_MODE_COPY_CHECK)
        return QAVO_AD_ERR_ARGS;
    int rc;
    if (mode >= QAVO_AD_MODE_COPY) {
        rc = PlainCopy(src, dst);
    } else {
        Fd fd;
        uint8_t header[QAVO_AD_HEADER_SIZE];
        rc = OpenSource(src, fd, header);
        if (rc == 0) rc = Convert(fd, header, src, dst);
    }
    return Cancelled() ? QAVO_AD_ERR_CANCEL : rc;
}

}  // namespace

extern "C" int QAVOAppleDoubleIWriteEntries(int *dstFd, const uint8_t *descriptors, int count,
                                            uint64_t *rforkLength) {
    if (!dstFd || *dstFd < 0 || (!descriptors && count > 0) || count < 0 || !rforkLength)
        return QAVO_AD_ERR_ARGS;
    Entries e;
    const int rc = FindEntries(descriptors, count, e);
    if (rc != 0) return rc;
    *rforkLength = e.rforkLength;
    uint8_t out[2 * QAVO_AD_DESC_SIZE];
    PutDescriptors(out, e.rforkLength);
    return WriteAll(*dstFd, out, sizeof(out));
}

extern "C" int QAVOAppleDoubleIConvertV1(const char *src, const char *dst, int mode) {
    return ConvertPath(src, dst, mode);
}

extern "C" int QAVOAppleDoubleIConvertV2(const char *src, const char *dst, int mode) {
    return ConvertPath(src, dst, mode);
}

extern "C" int QAVOAppleDoubleCopy(const char *src, const char *dst, int mode) {
    if (!src || !dst || mode < QAVO_AD_MODE_CONVERT || mode > QAVO_AD_MODE_COPY_CHECK)
        return QAVO_AD_ERR_ARGS;
    if (Cancelled()) return QAVO_AD_ERR_CANCEL;
    int rc = 0;
    if (mode == QAVO_AD_MODE_CONVERT || mode == QAVO_AD_MODE_COPY_CHECK) rc = CheckName(dst);
    if (rc == 0 && mode >= QAVO_AD_MODE_COPY) {
        rc = PlainCopy(src, dst);
    } else if (rc == 0) {
        Fd fd;
        uint8_t header[QAVO_AD_HEADER_SIZE];
        rc = OpenSource(src, fd, header);
        if (rc == 0) rc = Convert(fd, header, src, dst);
    }
    return Cancelled() ? QAVO_AD_ERR_CANCEL : rc;
}
