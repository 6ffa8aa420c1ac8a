// Network backup tasks: sections of the task file and their crontab lines.
#include "qavo_netbkptask.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>

#include "qavo_netbkprun.h"
#include "slib_errcode.h"
#include "slib_eventlog.h"
#include "slib_keyvalue.h"
#include "slib_rewrite.h"
#include "slib_section.h"
#include "slib_szhash.h"
#include "slib_unicode.h"
#include "slib_util.h"

namespace {

constexpr const char *kFormat = "\t%s=\"%s\"\n";
constexpr const char *kDefaults = "/etc.defaults/qavoinfo.conf";
constexpr int kNameSize = 493;
constexpr uint32_t kEventRenamed = 0x12900012;

struct SzHashFree {
    void operator()(PSLIBSZHASH h) const { SLIBSzHashFree(h); }
};
using SzHashPtr = std::unique_ptr<SLIBSZHASH, SzHashFree>;

// String keys 1-7 and their defaults, in record order.
struct Key {
    const char *key;
    const char *def;
};
constexpr std::array<Key, 7> kStringKeys = {{{"bkp_server", ""},
                                             {"bkp_ip", ""},
                                             {"bkp_auth_user", "root"},
                                             {"server_pass", ""},
                                             {"last_bkp_time", ""},
                                             {"bkp_module", "NetBackup"},
                                             {"server_pass2", ""}}};

std::string Command(const char *name) {
    return std::string(SZF_NETBKP_PROGRAM) + " -a \"" + name + "\"";
}

// The section of a task; null with 0x1400 when it has no pairs.
SzHashPtr ReadTask(const char *name) {
    SzHashPtr hash(PshSLIBSzHashAlloc(1024));
    if (!hash) return nullptr;
    PSLIBSZHASH h = hash.release();
    const int pairs = SLIBFileGetSection(SZF_NETBKP_CONF, name, &h);
    hash.reset(h);
    if (pairs <= 0) {
        SLIBErrSet(ERR_NO_SUCH_SHARE);
        return nullptr;
    }
    return hash;
}

const char *Value(PSLIBSZHASH h, const char *key, const char *def) {
    const char *v = SzSLIBSzHashGetValue(h, key);
    return v ? v : def;
}

bool Usable(const char *s) {
    return s == nullptr || (slib::OneLine(s) && !strchr(s, '"'));
}

// The task file exists (the section writers change it in place).
bool TaskFileReady() {
    const int fd = open(SZF_NETBKP_CONF, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// The hash of a task record; last-backup time and status as given.
SzHashPtr TaskHash(const QAVONETBKPINFO *task, const char *lastTime, const char *lastStatus) {
    SzHashPtr hash(PshSLIBSzHashAlloc(1024));
    if (!hash) return nullptr;
    PSLIBSZHASH h = hash.release();
    const std::pair<const char *, const char *> pairs[] = {
        {"last_bkp_time", lastTime},
        {"last_bkp_status", lastStatus},
        {"bkp_server", task->szServer},
        {"bkp_ip", task->szIP ? task->szIP : ""},
        {"bkp_module", task->szModule},
        {"server_pass", task->szPass ? task->szPass : ""},
        {"server_pass2", task->szPass2 ? task->szPass2 : ""},
        {"bkp_auth_user", task->szAuthUser},
        {"ssh", task->fSSH ? "1" : "0"},
        {"server_type", task->nServerType ? "1" : "0"}};
    bool ok = true;
    for (const auto &[k, v] : pairs) {
        if (SLIBSzHashSetValue(&h, k, v) < 0) ok = false;
    }
    hash.reset(h);
    return ok ? std::move(hash) : nullptr;
}

bool NetBkpSupported() {
    char value[16] = "";
    return SLIBFileGetKeyValue(kDefaults, "netbkp", value, sizeof(value), 0) > 0 &&
           strcasecmp(value, "yes") == 0;
}

// The folder whose backup runs now, or "".
std::string RunningTask() {
    std::unique_ptr<FILE, slib::FileCloser> fp(fopen(SZF_NETBKP_QUEUE, "r"));
    char line[kNameSize + 2] = "";
    if (!fp || !fgets(line, sizeof(line), fp.get())) return "";
    line[strcspn(line, "\r\n")] = '\0';
    return line;
}

}  // namespace

extern "C" int QAVONetBackupGet(const char *name, PQAVONETBKPINFO buf, int size, int *needed,
                                int option, PQAVOSCHEDULE schedule) {
    if (!name || !*name || !needed || (buf ? size <= 0 : size != 0) ||
        (option != NETBKP_OPT_GET_SCHEDULE && option != NETBKP_OPT_SKIP_SCHEDULE) ||
        (option == NETBKP_OPT_GET_SCHEDULE && !schedule)) {
        SLIBLog(LOG_ERR, "%s(%d): %s: bad parameters!", __FILE__, __LINE__, __func__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    try {
        SzHashPtr h = ReadTask(name);
        if (!h) {
            if (SLIBErrGet() == ERR_NO_SUCH_SHARE) {
                SLIBLog(LOG_ERR, "%s(%d): %s: SLIBFileGetSection() failed, szName=%s", __FILE__,
                        __LINE__, __func__, name);
            }
            return -1;
        }
        std::array<std::string, 8> strings;
        strings[0] = name;
        for (size_t i = 0; i < kStringKeys.size(); ++i) {
            strings[i + 1] = Value(h.get(), kStringKeys[i].key, kStringKeys[i].def);
        }
        size_t total = sizeof(QAVONETBKPINFO);
        for (const std::string &s : strings)
            total += s.size() + 1;
        *needed = static_cast<int>(total);
        if (!buf) return 0;
        if (total > static_cast<size_t>(size)) return slib::Fail(ERR_BUF_TOO_SMALL);
        memset(buf, 0, static_cast<size_t>(size));
        char *end = reinterpret_cast<char *>(buf) + size;
        char **slots[] = {&buf->szShare, &buf->szServer,   &buf->szIP,     &buf->szAuthUser,
                          &buf->szPass,  &buf->szLastTime, &buf->szModule, &buf->szPass2};
        for (size_t i = 0; i < strings.size(); ++i) {
            end -= strings[i].size() + 1;
            memcpy(end, strings[i].c_str(), strings[i].size() + 1);
            *slots[i] = end;
        }
        buf->nLastStatus = atoi(Value(h.get(), "last_bkp_status", "0"));
        buf->fSSH = atoi(Value(h.get(), "ssh", "0"));
        buf->nServerType = atoi(Value(h.get(), "server_type", "0"));
        if (option == NETBKP_OPT_GET_SCHEDULE) {
            memset(schedule, 0, sizeof(*schedule));
            if (QAVOScheduleGet(Command(name).c_str(), schedule) < 0) {
                SLIBLog(LOG_ERR, "%s(%d): schedule getting is failed", __FILE__, __LINE__);
                return -1;
            }
        }
        return 1;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVONetBackupSet(const char *name, const QAVONETBKPINFO *task, int option,
                                const QAVOSCHEDULE *schedule) {
    if (!task || !task->szShare || !*task->szShare || !task->szServer || !task->szAuthUser ||
        !task->szModule ||
        (option != NETBKP_OPT_SET_SCHEDULE && option != NETBKP_OPT_SKIP_SCHEDULE)) {
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    // Every value goes between double quotes on one line.
    for (const char *s : {task->szShare, task->szServer, task->szIP, task->szAuthUser, task->szPass,
                          task->szLastTime, task->szModule, task->szPass2}) {
        if (!Usable(s)) return slib::Fail(ERR_BAD_PARAMETERS);
    }
    try {
        std::string lastTime, lastStatus = "0";
        SzHashPtr old;
        if (name) {
            old = ReadTask(name);
            if (!old && SLIBErrGet() != ERR_NO_SUCH_SHARE) return -1;
        }
        if (old) {
            if (task->szLastTime && *task->szLastTime) {
                lastTime = task->szLastTime;
                lastStatus = std::to_string(task->nLastStatus);
            }
            if (strcmp(Value(old.get(), "bkp_server", ""), task->szServer) != 0) {
                lastTime.clear();
                lastStatus = "0";
            }
        }
        SzHashPtr h = TaskHash(task, lastTime.c_str(), lastStatus.c_str());
        if (!h) return -1;
        int written;
        if (old) {
            written =
                ErrSLIBFileSetSection(SZF_NETBKP_CONF, task->szShare, nullptr, h.get(), kFormat);
        } else {
            written = TaskFileReady()
                          ? ErrSLIBFileAddSection(SZF_NETBKP_CONF, task->szShare, h.get(), kFormat)
                          : slib::Fail(ERR_OPEN_FAILED);
        }
        if (written != 1) return -1;
        if (option == NETBKP_OPT_SET_SCHEDULE) {
            if (schedule) {
                if (QAVOScheduleSet(schedule) < 0) {
                    SLIBLog(LOG_ERR, "%s(%d): schedule setting is failed : %d,%d,%d,%d,%s",
                            __FILE__, __LINE__, schedule->nHour, schedule->nInterval,
                            schedule->nLastHour, schedule->nMinute, schedule->szCommand);
                    return -1;
                }
            } else if (QAVOScheduleRemove(Command(name ? name : task->szShare).c_str()) < 0) {
                SLIBLog(LOG_ERR, "%s(%d): QAVOScheduleRemove(%s)", __FILE__, __LINE__,
                        name ? name : task->szShare);
                return -1;
            }
        }
        return 1;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVONetBackupDelete(char **names, int count) {
    if (!names || count < 0) {
        SLIBLog(LOG_ERR, "%s(%d): %s: Bad arguments; nItem = [%d], pszList = [%p]\n", __FILE__,
                __LINE__, __func__, count, static_cast<void *>(names));
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    try {
        std::set<std::string> upper;
        const std::string running = RunningTask();
        for (int i = 0; i < count; ++i) {
            if (!names[i]) continue;
            if (!running.empty() && running == names[i]) {
                QAVONetBkpCancelCurrRsync();
                sleep(2);
            }
            char up[kNameSize * 4];
            if (SLIBUnicodeUTF8StrUpper(names[i], up, sizeof(up)) < 0) return -1;
            if (!upper.insert(up).second) {
                SLIBLog(LOG_ERR, "%s(%d): %s: Duplicate share name; szNameUpper = [%s]\n", __FILE__,
                        __LINE__, __func__, up);
            }
        }
        // The task file first: a failed rewrite leaves every task with its
        // schedule.
        int removed = 0;
        slib::Input input;
        const slib::Input::Result r = input.Read(SZF_NETBKP_CONF);
        if (r == slib::Input::kOpenFailed && errno == ENOENT) {
            removed = 0;
        } else if (r != slib::Input::kRead || input.IsDirectory()) {
            return slib::Fail(ERR_READ_FAILED);
        } else {
            slib::RewriteSet rewrite;
            FILE *out = rewrite.Open(SZF_NETBKP_CONF, input.Stat());
            if (!out) return -1;
            const std::string_view text = input.Text();
            bool skip = false;
            size_t pos = 0;
            while (pos < text.size()) {
                size_t end = text.find('\n', pos);
                end = end == std::string_view::npos ? text.size() : end + 1;
                const std::string_view line = text.substr(pos, end - pos);
                pos = end;
                if (BlSLIBFileIsSectionHeader(line.data(), line.size()) == 1) {
                    std::string s(line);
                    const size_t open = s.find('['), close = s.find(']');
                    std::string n = s.substr(open + 1, close - open - 1);
                    char up[kNameSize * 4];
                    skip = SLIBUnicodeUTF8StrUpper(n.c_str(), up, sizeof(up)) >= 0 &&
                           upper.count(up) > 0;
                    if (skip) ++removed;
                }
                if (!skip && !slib::WriteAll(out, line)) return slib::Fail(ERR_WRITE_FAILED);
            }
            if (removed > 0) {
                if (!rewrite.Commit(ERR_SYSTEM_CALL)) {
                    SLIBLog(LOG_ERR, "%s(%d): %s: rename failed\n", __FILE__, __LINE__, __func__);
                    return -1;
                }
            } else {
                rewrite.Abort();
            }
        }
        for (int i = 0; i < count; ++i) {
            if (names[i] && QAVOSysSetCrontabLine(Command(names[i]).c_str(), nullptr) < 0)
                return -1;
        }
        return removed;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVONetBackupDeleteOne(const char *name) {
    if (!name) {
        SLIBLog(LOG_ERR, "%s(%d): %s: Bad arguments; szName is NULL\n", __FILE__, __LINE__,
                __func__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    char *list[] = {const_cast<char *>(name)};
    return QAVONetBackupDelete(list, 1);
}

extern "C" int QAVONetBkpRename(const char *oldName, const char *newName) {
    if (!oldName || !newName) return slib::Fail(ERR_BAD_PARAMETERS);
    if (!NetBkpSupported() || strcmp(oldName, newName) == 0) return 0;
    try {
        int needed = 0;
        if (QAVONetBackupGet(oldName, nullptr, 0, &needed, NETBKP_OPT_SKIP_SCHEDULE, nullptr) !=
            0) {
            return SLIBErrGet() == ERR_NO_SUCH_SHARE ? 0 : -1;
        }
        std::unique_ptr<char[]> block(new char[static_cast<size_t>(needed)]);
        auto *task = reinterpret_cast<PQAVONETBKPINFO>(block.get());
        if (QAVONetBackupGet(oldName, task, needed, &needed, NETBKP_OPT_SKIP_SCHEDULE, nullptr) !=
            1) {
            return -1;
        }
        if (!Usable(newName) || !*newName) return slib::Fail(ERR_BAD_PARAMETERS);
        QAVOSCHEDULE schedule{};
        const int hasSchedule = QAVOScheduleGet(Command(oldName).c_str(), &schedule);
        if (hasSchedule < 0) return -1;
        const std::string newCommand = Command(newName);
        if (newCommand.size() >= sizeof(schedule.szCommand)) return slib::Fail(ERR_BAD_PARAMETERS);
        snprintf(schedule.szCommand, sizeof(schedule.szCommand), "%s", newCommand.c_str());

        // The task moves to its new name in one rewrite of the file; as for
        // every new task, its last backup starts empty.
        QAVONETBKPINFO moved = *task;
        moved.szShare = const_cast<char *>(newName);
        SzHashPtr h = TaskHash(&moved, "", "0");
        if (!h) return -1;
        if (ErrSLIBFileSetSection(SZF_NETBKP_CONF, oldName, newName, h.get(), kFormat) != 1) {
            SLIBLog(LOG_ERR, "%s(%d): %s: QAVONetBackupDeleteOne(szOldName=[%s]) failed!", __FILE__,
                    __LINE__, __func__, oldName);
            return -1;
        }
        if (hasSchedule == 1) {
            if (QAVOScheduleSet(&schedule) < 0) {
                SLIBLog(LOG_ERR, "%s(%d): %s: QAVONetBackupSet(NETBKP_OPT_SET_SCHEDULE) failed!",
                        __FILE__, __LINE__, __func__);
                return -1;
            }
            if (QAVOScheduleRemove(Command(oldName).c_str()) < 0) return -1;
        }
        QAVOLogEventWrite(QAVOLOG_CLASS_NETBKP, 1, kEventRenamed, oldName, newName, nullptr,
                          nullptr);
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}
