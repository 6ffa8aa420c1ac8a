#include "updt_analyze.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "updt_patchinfo.h"
#include "updt_status.h"

extern "C" {
int blRemoveRcAtalk;
int blRemovePapdConf;
int blFixFtpAccounts;
int blRemoveProfile;
int blRemoveJumboFrame;
int blMigrateWriteable;
int blRecoverFISDir;
int blFixMTUValue;
int blUseMTDBuffer = 1;
int blFixFtpPortRange;
int nPhotoDBFix;
int blDropMediaServerDB;
int blFixRsyncdConf;
}

namespace {

constexpr const char kSource[] = "updater/updt_analyze.cpp";

// One side's version as read from its "VERSION" file.
struct Version {
    char major[5] = {};
    char minor[5] = {};
    char phase[17] = {};
    char build[9] = {};
    char unique[33] = {};
};

// Present: status readable, not empty, a regular file, readable by its owner.
bool Present(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && st.st_size > 0 && S_ISREG(st.st_mode) && (st.st_mode & 0400);
}

bool Get(const char *path, const char *key, char *buf, int size) {
    return SLIBFileGetKeyValue(path, key, buf, size, 0) > 0;
}

// Decimal number: an optional sign and the leading digits; 0 otherwise.
int Num(const char *s) {
    long v = strtol(s, nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int>(v);
}

// Development level of a text phase (alpha 1, beta 2, rc 3, else 0) and the
// sub-level that follows its prefix.
int DevLevel(const char *phase, int *sub) {
    static const struct {
        const char *prefix;
        int level;
    } kLevels[] = {{"alpha", 1}, {"beta", 2}, {"rc", 3}};
    *sub = 0;
    for (auto &l : kLevels) {
        size_t len = strlen(l.prefix);
        if (strncasecmp(phase, l.prefix, len) == 0) {
            *sub = Num(phase + len);
            return l.level;
        }
    }
    return 0;
}

bool ReadVersion(const char *path, Version *v, bool package) {
    const char *what[] = {package ? "new major version" : "major version",
                          package ? "new minor version" : "minor version",
                          package ? "new build phase" : "buildphase",
                          package ? "new build number" : "buildnumber"};
    struct {
        const char *key;
        char *buf;
        int size;
    } keys[] = {{"majorversion", v->major, sizeof v->major},
                {"minorversion", v->minor, sizeof v->minor},
                {"buildphase", v->phase, sizeof v->phase},
                {"buildnumber", v->build, sizeof v->build}};
    for (int i = 0; i < 4; ++i) {
        if (!Get(path, keys[i].key, keys[i].buf, keys[i].size)) {
            SLIBLog(LOG_ERR, "%s(%d): fail to read %s", "ErrUPDTIAnalyze_WholeSystem", __LINE__,
                    what[i]);
            return false;
        }
    }
    if (Num(v->build) == 0 || Num(v->major) == 0) {
        SLIBLog(LOG_ERR, "%s(%d): buildnumber or major version == 0", "ErrUPDTIAnalyze_WholeSystem",
                __LINE__);
        return false;
    }
    return true;
}

// Repairs "defaultfs" and checks the free space of "/writeable". 0 or a code.
int MigrateWriteable() {
    char fs[80] = {};
    if (!Get(SLIB_QAVOINFO_PATH, "defaultfs", fs, sizeof fs)) {
        SLIBLog(LOG_ERR, "%s:%d(%s): can not get [%s] in [%s]", kSource, __LINE__, __func__,
                "defaultfs", SLIB_QAVOINFO_PATH);
        if (!Get(UPDT_DEFAULTS_INFO, "defaultfs", fs, sizeof fs)) {
            SLIBLog(LOG_ERR, "%s:%d(%s): can not get [%s] in [%s]", kSource, __LINE__, __func__,
                    "defaultfs", UPDT_DEFAULTS_INFO);
            snprintf(fs, sizeof fs, "%s", "reiserfs");
        }
        if (QAVOINFOSetKeyValue("defaultfs", fs) != 0) {
            SLIBLog(LOG_ERR, "%s:%d(%s): can not set [%s=%s] to %s", kSource, __LINE__, __func__,
                    "defaultfs", fs, SLIB_QAVOINFO_PATH);
            return 22;
        }
    }
    struct statfs sf;
    if (statfs("/writeable", &sf) == 0) {
        int64_t avail =
            (static_cast<int64_t>(sf.f_bavail) * static_cast<int64_t>(sf.f_bsize)) >> 20;
        if (avail < 2) return 16;
    }
    return 0;
}

bool CanOpenDir(const char *path) {
    DIR *d = opendir(path);
    if (!d) return false;
    closedir(d);
    return true;
}

}  // namespace

extern "C" int ErrUPDTIAnalyze(void) {
    if (Present("UPDATELIST")) {
        if (Present("DEPENDENCY")) return ErrUPDTIAnalyze_SmallPatch();
        SLIBLog(LOG_ERR, "%s(%d)", __func__, __LINE__);
        return 13;
    }
    return ErrUPDTIAnalyze_WholeSystem();
}

extern "C" int ErrUPDTIAnalyze_SmallPatch(void) {
    return 6;
}

extern "C" int ErrUPDTIAnalyze_WholeSystem(void) {
    static const char kPackage[] = "VERSION";
    if (!Present(kPackage)) {
        SLIBLog(LOG_ERR, "%s(%d): the file [%s]", __func__, __LINE__, kPackage);
        return 7;
    }
    Version org, pkg;
    if (!Get(UPDT_DEFAULTS_INFO, "unique", org.unique, sizeof org.unique)) return 8;
    if (!ReadVersion(UPDT_INSTALLED_VERSION, &org, false)) return 6;
    if (!Get(kPackage, "unique", pkg.unique, sizeof pkg.unique)) return 9;
    if (!ReadVersion(kPackage, &pkg, true)) return 7;

    const int orgMajor = Num(org.major), newMajor = Num(pkg.major);
    const int orgMinor = Num(org.minor), newMinor = Num(pkg.minor);
    const int orgPhase = Num(org.phase), newPhase = Num(pkg.phase);
    const int orgBuild = Num(org.build), newBuild = Num(pkg.build);

    // Version rules; the first that applies decides.
    const bool skip = strncasecmp(org.unique, "wex", 3) == 0 && orgMajor == 1 && newMajor == 2;
    if (skip) {
        SLIBLog(LOG_ERR, "%s(%d): Skip OS build version checking...", __func__, __LINE__);
    } else {
        if (orgMajor != 2 || newMajor != 2) {
            SLIBLog(LOG_ERR, "%s(%d): orgMajorVersion=%d, newMajorVersion=%d", __func__, __LINE__,
                    orgMajor, newMajor);
            return 13;
        }
        if (orgMinor != newMinor) {
            SLIBLog(LOG_ERR, "%s(%d): orgMinor=%d, newMinor=%d", __func__, __LINE__, orgMinor,
                    newMinor);
            return 10;
        }
        bool buildRule = false;
        if (newPhase > orgPhase) {
            // accepted
        } else if (newPhase < orgPhase) {
            return 10;
        } else if (newPhase != 0) {
            buildRule = true;
        } else {
            int orgSub, newSub;
            int orgLvl = DevLevel(org.phase, &orgSub), newLvl = DevLevel(pkg.phase, &newSub);
            if (orgLvl == 0 || newLvl == 0 || orgLvl > newLvl) {
                SLIBLog(LOG_ERR, "%s(%d): orgDevLvl = %d, newDevLvl=%d", __func__, __LINE__, orgLvl,
                        newLvl);
                return 10;
            }
            if (orgLvl == newLvl) {
                if (orgSub > newSub) {
                    SLIBLog(LOG_ERR, "%s(%d): orgSubLvl = %d, newSubLvl=%d", __func__, __LINE__,
                            orgSub, newSub);
                    return 10;
                }
                buildRule = true;
            }
            // A higher development level is accepted, and like every accepted
            // package it still goes through the model check and the flags.
        }
        if (buildRule && newBuild <= orgBuild) {
            SLIBLog(LOG_ERR, "%s(%d): orgBuildNumber = %d, newBuildNumber=%d", __func__, __LINE__,
                    orgBuild, newBuild);
            return 10;
        }
    }

    // Model check.
    if ((orgMajor == 1 && orgBuild > 42) || orgMajor >= 2) {
        if (!org.unique[0] || !pkg.unique[0] || strncasecmp(org.unique, pkg.unique, 32) != 0) {
            SLIBLog(LOG_ERR, "%s(%d): szOrgCompany = [%s], szNewCompany=[%s]", __func__, __LINE__,
                    org.unique, pkg.unique);
            return 12;
        }
    }

    // Migration flags, in order.
    const bool v20 = orgMajor == 2 && orgMinor == 0;
    const int P = orgPhase, B = orgBuild;
    blRemoveRcAtalk = skip || (v20 && (P == 0 || (P == 1 && B <= 107)));
    blRemovePapdConf = skip || (v20 && (P <= 2 || (P == 3 && B <= 210)));
    blFixFtpAccounts = skip || (v20 && (P <= 2 || (P == 3 && B <= 229)));
    blRemoveProfile = skip || (v20 && B <= 250);
    blRemoveJumboFrame = skip || (v20 && B <= 251);
    bool writeableModel = false;
    for (const char *m : {"tolvane_ixp420_1hd", "qavomark_ixp420_1hd", "qavomark_powerpc_m4t7+_1hd",
                          "tolvane_powerpc_1hd"})
        writeableModel |= strcasecmp(pkg.unique, m) == 0;
    blMigrateWriteable = (skip || (v20 && B <= 261)) && writeableModel && CanOpenDir("/writeable");
    if (blMigrateWriteable) {
        int code = MigrateWriteable();
        if (code) return code;
    }
    blRecoverFISDir = v20 && P == 3 && B == 284 && blPomlet &&
                      strncasecmp(org.unique, "qavomark_powerpc_m4t7+_1hd", 32) == 0;
    blFixMTUValue = v20 && (P <= 2 || (P == 3 && B <= 308));
    blUseMTDBuffer = v20 && (P <= 2 || (P == 3 && B <= 350)) ? 0 : 1;
    blFixFtpPortRange = v20 && B <= 421;
    nPhotoDBFix = (v20 && B >= 401 && B <= 424 ? 0x1 : 0) | (v20 && B >= 401 && B <= 481 ? 0x2 : 0);
    blDropMediaServerDB = v20 && B <= 489;
    blFixRsyncdConf = v20 && B < 484;

    char line[160];
    snprintf(line, sizeof line, "Upgrade from version %s.%s.%s.%s to version %s.%s.%s.%s",
             org.major, org.minor, org.phase, org.build, pkg.major, pkg.minor, pkg.phase,
             pkg.build);
    UPDTLog(line);
    return 0;
}

namespace {

// Value of one component of a dotted version text.
int ComponentValue(const char *s, size_t len) {
    char buf[32];
    len = std::min(len, sizeof buf - 1);
    memcpy(buf, s, len);
    buf[len] = '\0';
    int v = Num(buf);
    if (v != 0) return v;
    if (strcasecmp(buf, "alpha") == 0) return -30;
    if (strcasecmp(buf, "beta") == 0) return -20;
    if (strcasecmp(buf, "rc") == 0) return -10;
    return 0;
}

}  // namespace

extern "C" int UPDTCompareVersion(const char *a, const char *b) {
    if (!a || !b) return 0;
    if (!*a && *b) return -1;
    if (*a && !*b) return 1;
    const size_t la = strnlen(a, 31), lb = strnlen(b, 31);
    size_t pa = 0, pb = 0;
    bool moreA = la > 0, moreB = lb > 0;  // a component is still to come
    while (moreA || moreB) {
        size_t ea = pa, eb = pb;
        while (moreA && ea < la && a[ea] != '.')
            ++ea;
        while (moreB && eb < lb && b[eb] != '.')
            ++eb;
        if (moreA && moreB) {
            int va = ComponentValue(a + pa, ea - pa), vb = ComponentValue(b + pb, eb - pb);
            if (va != vb) return va > vb ? 1 : -1;
        } else if (moreA) {
            if (ea > pa) return 1;
        } else {
            if (eb > pb) return -1;
        }
        if (moreA) {
            moreA = ea < la;
            pa = ea + 1;
        }
        if (moreB) {
            moreB = eb < lb;
            pb = eb + 1;
        }
    }
    return 0;
}
