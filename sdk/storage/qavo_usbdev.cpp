// USB device information from the kernel's device list and the USB ID list.
#include "qavo_usbdev.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_str.h"
#include "slib_util.h"

namespace {

constexpr unsigned long kQueryDevNode = 0x128B;

// Tokens of a "T:", "P:" or "I:" line.
constexpr const char *kTokenDelims = " \t\n()=";

// What is collected while the device list is read.
struct Collect {
    int bus = 0, level = 0, devNum = 0, speed = 0, port = 0, vendor = 0, product = 0;
    int cls = 0, subCls = 0;
    std::string driver, manufacturer, productName;
};

int Dec(const char *s) {
    return s ? static_cast<int>(strtol(s, nullptr, 10)) : 0;
}
int Hex(const char *s) {
    return s ? static_cast<int>(strtol(s, nullptr, 16)) : 0;
}

// A name of at most 127 characters.
std::string Name127(const char *s) {
    return std::string(s ? s : "").substr(0, 127);
}

void Copy(char *dst, const std::string &src) {
    snprintf(dst, QAVO_USB_NAME_LEN, "%s", src.c_str());
}

int TypeOfName(const char *name) {
    if (name && strncmp(name, "lp", 2) == 0) return QAVO_USB_TYPE_PRINTER;
    if (name && strncmp(name, "sd", 2) == 0) return QAVO_USB_TYPE_STORAGE;
    return QAVO_USB_TYPE_OTHER;
}

// Splits a "T", "P" or "I" line; an empty list when nothing is left.
slib::SzListPtr Tokens(const char *line) {
    slib::SzListPtr none;
    PSLIBSZLIST l = PslSLIBSzListAlloc(512);
    if (!l) return none;
    if (SLIBStrSepNonEmpty(line, kTokenDelims, &l) <= 0) {
        SLIBSzListFree(l);
        return none;
    }
    return slib::SzListPtr(l);
}

// The key and value of an "S:" line: trimmed from the third character and
// split at line ends and "=", so names with blanks stay whole.
bool StringLine(const char *line, std::string &key, std::string &value) {
    if (strlen(line) < 3) return false;
    std::string rest(line + 2);
    size_t b = rest.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return false;
    rest = rest.substr(b);
    size_t e = rest.find_last_not_of(" \t\r\n");
    rest = rest.substr(0, e + 1);
    size_t eq = rest.find('=');
    if (eq == std::string::npos) return false;
    key = rest.substr(0, eq);
    std::string v = rest.substr(eq + 1);
    size_t stop = v.find_first_of("\n=");
    value = v.substr(0, stop);
    return !key.empty();
}

// Applies one line of the device list to c; returns its kind ('T', 'P',
// 'S', 'I') or 0 when it carries nothing.
char Apply(const char *func, const char *line, Collect &c) {
    char kind = line[0];
    if (kind == 'T' || kind == 'P' || kind == 'I') {
        slib::SzListPtr t = Tokens(line);
        if (!t) {
            SLIBLog(LOG_ERR, "%s: fail to parse the line. [%s]", func, line);
            return 0;
        }
        PSLIBSZLIST l = t.get();
        if (kind == 'T') {
            c.bus = Dec(SzQAVOUSBIGetTokenValue(l, "Bus"));
            c.level = Dec(SzQAVOUSBIGetTokenValue(l, "Lev"));
            c.port = Dec(SzQAVOUSBIGetTokenValue(l, "Port"));
            c.devNum = Dec(SzQAVOUSBIGetTokenValue(l, "Dev#"));
            c.speed = Dec(SzQAVOUSBIGetTokenValue(l, "Spd"));
        } else if (kind == 'P') {
            c.vendor = Hex(SzQAVOUSBIGetTokenValue(l, "Vendor"));
            c.product = Hex(SzQAVOUSBIGetTokenValue(l, "ProdID"));
        } else {
            const char *cls = SzQAVOUSBIGetTokenValue(l, "Cls");
            c.cls = cls ? Hex(std::string(cls).substr(0, 2).c_str()) : 0;
            c.subCls = Hex(SzQAVOUSBIGetTokenValue(l, "Sub"));
            c.driver = Name127(SzQAVOUSBIGetTokenValue(l, "Driver"));
        }
        return kind;
    }
    if (kind == 'S') {
        std::string key, value;
        if (!StringLine(line, key, value)) return 0;
        if (key == "Manufacturer") c.manufacturer = Name127(value.c_str());
        if (key == "Product") c.productName = Name127(value.c_str());
        return 'S';
    }
    return 0;
}

void Fill(const char *name, QAVOUSB *rec, const Collect &c, bool withIds) {
    memset(rec, 0, sizeof *rec);
    rec->type = TypeOfName(name);
    rec->bus = c.bus;
    rec->level = c.level;
    rec->devNum = c.devNum;
    rec->speed = c.speed;
    rec->cls = c.cls;
    rec->subCls = c.subCls;
    rec->port = c.port;
    if (withIds) {
        rec->vendorId = c.vendor;
        rec->productId = c.product;
    }
    Copy(rec->driver, c.driver);
    Copy(rec->manufacturer, c.manufacturer);
    Copy(rec->product, c.productName);
    QAVOUSBIGetNames(c.vendor, rec->manufacturer, sizeof rec->manufacturer, c.product, rec->product,
                     sizeof rec->product);
}

// Each line of a file, without its line end.
template <typename F>
int ForEachLine(FILE *fp, F &&f) {
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, fp)) >= 0) {
        if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
        if (f(line)) break;
    }
    free(line);
    return ferror(fp) ? -1 : 0;
}

// Bus and device from ".../BUS/DEV"; false when the form does not hold.
bool ParseBusDev(const std::string &v, int *bus, int *dev) {
    size_t last = v.rfind('/');
    if (last == std::string::npos || last == 0) return false;
    size_t prev = v.rfind('/', last - 1);
    if (prev == std::string::npos) return false;
    std::string b = v.substr(prev + 1, last - prev - 1), d = v.substr(last + 1);
    auto number = [](const std::string &s, int *out) {
        if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos)
            return false;
        *out = atoi(s.c_str());
        return true;
    };
    return number(b, bus) && number(d, dev);
}

}  // namespace

extern "C" const char *SzQAVOUSBIGetTokenValue(PSLIBSZLIST tokens, const char *key) {
    if (!tokens || !key) return nullptr;
    for (int i = 0; i + 1 < tokens->nItem; ++i)
        if (strcmp(tokens->pszItem[i], key) == 0) return tokens->pszItem[i + 1];
    return nullptr;
}

extern "C" int QAVOUSBGetPort(const QAVOUSB *rec) {
    return rec ? rec->port : -1;
}

extern "C" int QAVOUSBIGetNumByName(const char *name, int *bus, int *dev) {
    if (!name || !bus || !dev) {
        SLIBLog(LOG_ERR, "%s(%d): parameter error", __func__, __LINE__);
        return -1;
    }
    char value[256] = "";
    if (SLIBFileGetKeyValue(QAVO_USB_TAB, name, value, sizeof value, 0) <= 0) {
        SLIBLog(LOG_ERR, "%s(%d): fail to get the value for key [%s]", __func__, __LINE__, name);
        return -1;
    }
    if (!ParseBusDev(value, bus, dev)) {
        SLIBLog(LOG_ERR, "%s(%d): format error, szValue = [%s]", __func__, __LINE__, value);
        return -1;
    }
    return 0;
}

extern "C" int QAVOUSBIDevGetInfo(const char *name, QAVOUSB *rec, int bus, int dev) {
    if (!rec) return slib::Fail(ERR_BAD_PARAMETERS);
    slib::FilePtr fp(fopen(QAVO_USB_DEVICES, "re"));
    if (!fp) return slib::Fail(ERR_OPEN_FAILED);
    Collect c;
    bool found = false;
    try {
        ForEachLine(fp.get(), [&, fn = __func__](const char *line) {
            c.cls = c.subCls = 0;
            if (Apply(fn, line, c) != 'I') return false;
            if (c.bus == bus && c.devNum == dev) {
                found = true;
                return true;
            }
            c = Collect();
            return false;
        });
        if (!found && c.bus == bus && c.devNum == dev) {  // a device without an interface line
            c.cls = c.subCls = 0;
            found = true;
        }
        if (!found) return -1;
        Fill(name, rec, c, true);
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
    return 0;
}

extern "C" int QAVOUSBDevGetInfo(const char *name, QAVOUSB *rec) {
    int bus = 0, dev = 0;
    if (QAVOUSBIGetNumByName(name, &bus, &dev) != 0) {
        SLIBLog(LOG_ERR, "%s: get devnum & busnum for [%s]", __func__, name ? name : "(null)");
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    return QAVOUSBIDevGetInfo(name, rec, bus, dev);
}

extern "C" int QAVOUSBDevBusnoGetInfo(char *usbPath, QAVOUSB *rec) {
    int bus = 0, dev = 0;
    if (!usbPath || !rec || !ParseBusDev(usbPath, &bus, &dev)) {
        SLIBLog(LOG_ERR, "%s(%d): format error, szDeviceBusno = [%s]", __func__, __LINE__,
                usbPath ? usbPath : "(null)");
        return -1;
    }
    *strrchr(usbPath, '/') = '\0';
    return QAVOUSBIDevGetInfo(usbPath, rec, bus, dev);
}

extern "C" int QAVOUSBIGetNames(int vendor, char *manufacturer, int mSize, int product,
                                char *productName, int pSize) {
    if (!manufacturer || !productName || mSize <= 0 || pSize <= 0)
        return slib::Fail(ERR_BAD_PARAMETERS);
    slib::FilePtr fp(fopen(QAVO_USB_MAP, "re"));
    if (!fp) return slib::Fail(ERR_OPEN_FAILED);
    char vid[16], pid[16];
    snprintf(vid, sizeof vid, "%04lx", static_cast<unsigned long>(static_cast<unsigned>(vendor)));
    snprintf(pid, sizeof pid, "\t%04lx",
             static_cast<unsigned long>(static_cast<unsigned>(product)));
    auto trimmed = [](const char *s) {
        std::string t(s);
        size_t b = t.find_first_not_of(" \t\r\n");
        if (b == std::string::npos) return std::string();
        return t.substr(b, t.find_last_not_of(" \t\r\n") - b + 1);
    };
    bool inVendor = false, vendorFound = false;
    try {
        ForEachLine(fp.get(), [&](const char *line) {
            if (!inVendor) {
                if (strlen(line) >= 4 && strncasecmp(line, vid, 4) == 0) {
                    snprintf(manufacturer, static_cast<size_t>(mSize), "%s",
                             trimmed(line + 4).c_str());
                    inVendor = vendorFound = true;
                }
                return false;
            }
            if (line[0] != '\t') return true;  // the vendor's block ends
            if (strlen(line) >= 5 && strncasecmp(line, pid, 5) == 0) {
                snprintf(productName, static_cast<size_t>(pSize), "%s", trimmed(line + 5).c_str());
                return true;
            }
            return false;
        });
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
    return vendorFound ? 0 : -1;
}

extern "C" int QAVOUSBDevEnum(int kinds, char **buf, int size, int *needed) {
    if (!needed || !(kinds & (QAVO_USB_TYPE_STORAGE | QAVO_USB_TYPE_PRINTER)) ||
        (size > 0 && !buf) || size < 0)
        return slib::Fail(ERR_BAD_PARAMETERS);
    *needed = 0;
    slib::FilePtr fp(fopen(QAVO_USB_TAB, "re"));
    if (!fp) return 0;
    int count = 0, result = 0;
    // Pointers fill the buffer from its start, names from its end.
    char *end = buf ? reinterpret_cast<char *>(buf) + size : nullptr;
    try {
        if (ForEachLine(
                fp.get(),
                [&, fn = __func__](const char *line) {
                    size_t len = strcspn(line, " =\t\n");
                    if (len < 2) return false;
                    std::string name(line, len);
                    bool printer = name.compare(0, 2, "lp") == 0;
                    bool storage = name.compare(0, 2, "sd") == 0;
                    if (!((printer && (kinds & QAVO_USB_TYPE_PRINTER)) ||
                          (storage && (kinds & QAVO_USB_TYPE_STORAGE))))
                        return false;
                    if (storage) {
                        int fd = open(("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
                        if (fd < 0) return false;
                        close(fd);
                    }
                    long long want = static_cast<long long>(*needed) +
                                     static_cast<long long>(sizeof(char *) + name.size() + 1);
                    if (want > INT32_MAX) want = INT32_MAX;
                    *needed = static_cast<int>(want);
                    if (buf) {
                        if (*needed > size) {
                            SLIBLog(LOG_ERR, "%s(%d): not enough memory", fn, __LINE__);
                            SLIBErrSet(ERR_BUF_TOO_SMALL);
                            result = -1;
                            return true;
                        }
                        end -= name.size() + 1;
                        memcpy(end, name.c_str(), name.size() + 1);
                        buf[count] = end;
                    }
                    ++count;
                    return false;
                }) != 0 &&
            result == 0)
            return slib::Fail(ERR_READ_FAILED);
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
    return result < 0 ? -1 : count;
}

extern "C" int QAVOUSBDevListGetInfo(QAVOUSB **list) {
    if (!list) return slib::Fail(ERR_BAD_PARAMETERS);
    *list = nullptr;
    // The attached disks and printers, each with its own record.
    std::vector<std::pair<std::string, QAVOUSB>> attached;
    const int kinds = QAVO_USB_TYPE_STORAGE | QAVO_USB_TYPE_PRINTER;
    int needed = 0;
    try {
        if (QAVOUSBDevEnum(kinds, nullptr, 0, &needed) > 0 && needed > 0) {
            std::vector<char *> area((static_cast<size_t>(needed) + sizeof(char *) - 1) /
                                     sizeof(char *));
            int n = QAVOUSBDevEnum(kinds, area.data(), needed, &needed);
            for (int i = 0; i < n; ++i) {
                QAVOUSB r;
                memset(&r, 0, sizeof r);
                if (QAVOUSBDevGetInfo(area[static_cast<size_t>(i)], &r) == 0)
                    attached.emplace_back(area[static_cast<size_t>(i)], r);
            }
        }
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
    auto *recs = static_cast<QAVOUSB *>(calloc(1, sizeof(QAVOUSB)));
    if (!recs) return slib::Fail(ERR_OUT_OF_MEMORY);
    *list = recs;
    int count = 0;
    slib::FilePtr fp(fopen(QAVO_USB_DEVICES, "re"));
    if (!fp) return slib::Fail(ERR_OPEN_FAILED);
    Collect c;
    bool failed = false;
    try {
        ForEachLine(fp.get(), [&, fn = __func__](const char *line) {
            QAVOUSB *cur = &recs[count];
            if (line[0] == 'T') c = Collect();  // a new device: nothing of the last one
            char kind = Apply(fn, line, c);
            if (kind == 'T') {
                cur->bus = c.bus;
                cur->level = c.level;
                cur->port = c.port;
                cur->devNum = c.devNum;
                cur->speed = c.speed;
            } else if (kind == 'S') {
                Copy(cur->product, c.productName);
                Copy(cur->manufacturer, c.manufacturer);
            } else if (kind == 'I') {
                cur->cls = c.cls;
                cur->subCls = c.subCls;
                Copy(cur->driver, c.driver);
                QAVOUSBIGetNames(c.vendor, cur->manufacturer, sizeof cur->manufacturer, c.product,
                                 cur->product, sizeof cur->product);
                for (auto &a : attached)
                    if (a.second.bus == cur->bus && a.second.devNum == cur->devNum)
                        cur->type = TypeOfName(a.first.c_str()) | QAVO_USB_TYPE_ATTACHED;
                auto *grown = static_cast<QAVOUSB *>(
                    realloc(recs, sizeof(QAVOUSB) * static_cast<size_t>(count + 2)));
                if (!grown) {
                    failed = true;
                    return true;
                }
                recs = grown;
                *list = recs;
                ++count;
                memset(&recs[count], 0, sizeof(QAVOUSB));
            }
            return false;
        });
    } catch (const std::bad_alloc &) {
        failed = true;
    }
    if (failed) SLIBErrSet(ERR_OUT_OF_MEMORY);
    return count;
}

extern "C" int QAVOUSBIQueryDevNode(const char *name) {
    if (!name) return slib::Fail(ERR_BAD_PARAMETERS);
    std::string path = "/dev/" + std::string(name);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return slib::Fail(ERR_OPEN_FAILED);
    int r = ioctl(fd, kQueryDevNode, 0);
    close(fd);
    return r;
}
