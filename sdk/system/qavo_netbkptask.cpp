// Network backup tasks: sections of the task file and their crontab lines,
// and stopping the rsync of the backup that runs.
#include "qavo_netbkptask.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "qavo_netbkprun.h"
#include "qavo_share.h"
#include "slib_errcode.h"
#include "slib_eventlog.h"
#include "slib_proc.h"
#include "slib_keyvalue.h"
#include "slib_rewrite.h"
#include "slib_section.h"
#include "slib_str.h"
#include "slib_szhash.h"
#include "slib_unicode.h"
#include "slib_validate.h"
#include "slib_util.h"

namespace {

constexpr const char *kFormat = "\t%s=\"%s\"\n";
constexpr int kNameSize = 493;
constexpr uint32_t kEventRenamed = 0x12900012;

using slib::SzHashPtr;

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

// The task file exists (the section writers change it in place) and only
// its owner reads it: it holds the servers' passwords. Its rewrites keep
// the mode.
bool TaskFileReady() {
    const int fd = open(SZF_NETBKP_CONF, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    struct stat st;
    const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                    ((st.st_mode & 077) == 0 || fchmod(fd, st.st_mode & 0700) == 0);
    close(fd);
    return ok;
}

// The values of a task as the file and the rsync command lines take them.
bool ValidTask(const QAVONETBKPINFO *task) {
    // Every value goes between double quotes on one line.
    for (const char *s : {task->szShare, task->szServer, task->szIP, task->szAuthUser, task->szPass,
                          task->szLastTime, task->szModule, task->szPass2}) {
        if (!Usable(s)) return false;
    }
    return BlSLIBIsShareName(task->szShare) == 1 && BlQAVOINetBkpIsServer(task->szServer) == 1 &&
           (!task->szIP || !*task->szIP || slib::IsHostName(task->szIP)) &&
           BlQAVOINetBkpIsAccount(task->szAuthUser) == 1 &&
           BlQAVOINetBkpIsAccount(task->szModule) == 1;
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
    return slib::DefaultIsYes("netbkp", 16, true);
}

// The folder whose backup runs now, or "".
std::string RunningTask() {
    slib::FilePtr fp(fopen(SZF_NETBKP_QUEUE, "r"));
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
        (option != NETBKP_OPT_SET_SCHEDULE && option != NETBKP_OPT_SKIP_SCHEDULE) ||
        !ValidTask(task)) {
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    try {
        // The task's schedule line is the one of its own command, whatever
        // command the caller's record holds (a read-back one is cut to its
        // first word, which every task's line has).
        const std::string command = Command(task->szShare);
        QAVOSCHEDULE own{};
        if (option == NETBKP_OPT_SET_SCHEDULE && schedule) {
            if (command.size() >= sizeof(own.szCommand)) return slib::Fail(ERR_BAD_PARAMETERS);
            own = *schedule;
            memcpy(own.szCommand, command.c_str(), command.size() + 1);
        }
        std::string lastTime, lastStatus = "0";
        SzHashPtr old;
        if (name) {
            old = ReadTask(name);
            if (!old && SLIBErrGet() != ERR_NO_SUCH_SHARE) return -1;
            // A task is replaced under its own name only.
            if (old && strcmp(name, task->szShare) != 0) return slib::Fail(ERR_BAD_PARAMETERS);
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
        // The write comes first: when it fails, the schedule stays as it was.
        if (!TaskFileReady()) return slib::Fail(ERR_OPEN_FAILED);
        if (old) {
            const int written =
                ErrSLIBFileSetSection(SZF_NETBKP_CONF, task->szShare, nullptr, h.get(), kFormat);
            if (written == 0) return slib::Fail(ERR_NO_SUCH_SHARE);
            if (written != 1) return -1;
        } else {
            const int written =
                ErrSLIBFileAddSection(SZF_NETBKP_CONF, task->szShare, h.get(), kFormat);
            // A new task never takes the place of an existing one.
            if (written == 0) return slib::Fail(ERR_SHARE_EXISTS);
            if (written != 1) return -1;
        }
        if (option == NETBKP_OPT_SET_SCHEDULE) {
            if (schedule) {
                if (QAVOScheduleSet(&own) < 0) {
                    SLIBLog(LOG_ERR, "%s(%d): schedule setting is failed : %d,%d,%d,%d,%s",
                            __FILE__, __LINE__, own.nHour, own.nInterval, own.nLastHour,
                            own.nMinute, own.szCommand);
                    return -1;
                }
            } else if (QAVOScheduleRemove(command.c_str()) < 0) {
                SLIBLog(LOG_ERR, "%s(%d): QAVOScheduleRemove(%s)", __FILE__, __LINE__,
                        command.c_str());
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
        // The schedule lines to remove: those of the names given and of the
        // sections removed, which may spell the name in other case.
        std::set<std::string> commands;
        char running[kNameSize * 4] = "";
        const std::string runningName = RunningTask();
        if (!runningName.empty() &&
            SLIBUnicodeUTF8StrUpper(runningName.c_str(), running, sizeof(running)) < 0)
            running[0] = '\0';
        bool cancelled = false;
        for (int i = 0; i < count; ++i) {
            if (!names[i]) continue;
            // No crontab line holds a line break (its writer refuses such a key).
            if (slib::OneLine(names[i])) commands.insert(Command(names[i]));
            char up[kNameSize * 4];
            if (SLIBUnicodeUTF8StrUpper(names[i], up, sizeof(up)) < 0) return -1;
            if (!cancelled && running[0] != '\0' && strcmp(running, up) == 0) {
                QAVONetBkpCancelCurrRsync();
                sleep(2);
                cancelled = true;
            }
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
                    if (skip) {
                        ++removed;
                        commands.insert(Command(n.c_str()));
                    }
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
        // Every line is tried: one that cannot go leaves no others behind.
        bool lines = true;
        for (const std::string &command : commands) {
            if (QAVOSysSetCrontabLine(command.c_str(), nullptr) < 0) lines = false;
        }
        return lines ? removed : -1;
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
        if (BlSLIBIsShareName(newName) != 1) return slib::Fail(ERR_BAD_PARAMETERS);
        // Another task under the new name would be shadowed by the moved one.
        if (ReadTask(newName)) {
            SLIBLog(LOG_ERR, "%s(%d): %s: a task of [%s] exists already", __FILE__, __LINE__,
                    __func__, newName);
            return slib::Fail(ERR_SHARE_EXISTS);
        }
        if (SLIBErrGet() != ERR_NO_SUCH_SHARE) return -1;
        QAVOSCHEDULE schedule{};
        const std::string oldCommand = Command(oldName), newCommand = Command(newName);
        const int hasSchedule = QAVOScheduleGet(oldCommand.c_str(), &schedule);
        if (hasSchedule < 0) return -1;
        if (newCommand.size() >= sizeof(schedule.szCommand)) return slib::Fail(ERR_BAD_PARAMETERS);
        memcpy(schedule.szCommand, newCommand.c_str(), newCommand.size() + 1);

        // The new task exists, with its schedule, before the old one goes:
        // the schedule line first, then the section under its new name in
        // one rewrite (history reset as for every new task), then the old
        // line.
        QAVONETBKPINFO moved = *task;
        moved.szShare = const_cast<char *>(newName);
        SzHashPtr h = TaskHash(&moved, "", "0");
        if (!h) return -1;
        if (hasSchedule == 1 && QAVOScheduleSet(&schedule) < 0) {
            SLIBLog(LOG_ERR, "%s(%d): %s: QAVONetBackupSet(NETBKP_OPT_SET_SCHEDULE) failed!",
                    __FILE__, __LINE__, __func__);
            return -1;
        }
        if (ErrSLIBFileSetSection(SZF_NETBKP_CONF, oldName, newName, h.get(), kFormat) != 1) {
            SLIBLog(LOG_ERR, "%s(%d): %s: QAVONetBackupSet(%s) failed!", __FILE__, __LINE__,
                    __func__,
                    hasSchedule == 1 ? "NETBKP_OPT_SET_SCHEDULE" : "NETBKP_OPT_SKIP_SCHEDULE");
            const SLIBERRCODE code = SLIBErrGet();
            if (hasSchedule == 1) QAVOScheduleRemove(newCommand.c_str());
            SLIBErrSet(code);
            return -1;
        }
        if (hasSchedule == 1 && QAVOScheduleRemove(oldCommand.c_str()) < 0) {
            SLIBLog(LOG_ERR, "%s(%d): %s: QAVONetBackupDeleteOne(szOldName=[%s]) failed!", __FILE__,
                    __LINE__, __func__, oldName);
            return -1;
        }
        QAVOLogEventWrite(QAVOLOG_CLASS_NETBKP, 1, kEventRenamed, oldName, newName, nullptr,
                          nullptr);
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int BlQAVOINetBkpIsServer(const char *server) {
    if (!server) return 0;
    if (*server == '*') ++server;
    return slib::IsHostName(server) ? 1 : 0;
}

extern "C" int BlQAVOINetBkpIsAccount(const char *text) {
    if (!text || !*text || *text == '-') return 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F || strchr("/@:\"", *p)) return 0;
    }
    return 1;
}

extern "C" int QAVONetBackupEnum(char **buf, int size, int *needed) {
    if (!needed || (buf ? size <= 0 : size != 0)) return slib::Fail(ERR_BAD_PARAMETERS);
    try {
        std::vector<std::string> names;
        if (access(SZF_NETBKP_CONF, F_OK) == 0 || errno != ENOENT) {
            slib::SzListPtr list(PslSLIBSzListAlloc(1024));
            if (!list) return slib::Fail(ERR_OUT_OF_MEMORY);
            PSLIBSZLIST l = list.release();
            const int n = SLIBFileEnumSection(SZF_NETBKP_CONF, &l);
            list.reset(l);
            if (n < 0) {
                SLIBLog(LOG_ERR, "%s(%d): %s SLIBFileEnumSection(SZF_NETBKP_CONF) failed!",
                        __FILE__, __LINE__, __func__);
                return -1;
            }
            for (int i = 0; i < n; ++i)
                names.emplace_back(SzSLIBSzListGet(list.get(), i));
        }
        const size_t total = slib::PackedSize(names);
        if (total > static_cast<size_t>(INT_MAX)) return slib::Fail(ERR_OUT_OF_MEMORY);
        *needed = static_cast<int>(total);
        if (!buf) return 0;
        if (total > static_cast<size_t>(size)) return slib::Fail(ERR_BUF_TOO_SMALL);
        slib::PackTexts(names, buf, size);
        return static_cast<int>(names.size());
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

namespace {

// A number field of a task string: empty reads 0, else a whole base-10 int.
bool NumberField(const char *text, int *value) {
    if (*text == '\0') {
        *value = 0;
        return true;
    }
    char *end;
    errno = 0;
    const long v = strtol(text, &end, 10);
    if (*end != '\0' || errno != 0 || v < INT_MIN || v > INT_MAX) return false;
    *value = static_cast<int>(v);
    return true;
}

}  // namespace

extern "C" int QAVONetBackupSetParam(const char *param, PQAVONETBKPINFO buf, int *size) {
    if (!param || !size || (buf ? *size < 1 : *size != 0)) {
        SLIBLog(LOG_ERR, "%s(%d): szCreateParam == NULL", __FILE__, __LINE__);
        return slib::Fail(ERR_BAD_PARAMETERS);
    }
    constexpr int kFields = 11;
    try {
        slib::SzListPtr list(PslSLIBSzListAlloc(1024));
        if (!list) return slib::Fail(ERR_OUT_OF_MEMORY);
        PSLIBSZLIST l = list.release();
        const int rc = SLIBStrSep(param, ":", &l);
        list.reset(l);
        if (rc < 0) return -1;
        const int fields = list->nItem;
        if (fields < kFields) {
            SLIBLog(LOG_ERR, "%s(%d): field number = [%d] < %d ", __FILE__, __LINE__, fields,
                    kFields);
            return slib::Fail(ERR_BAD_PARAMETERS);
        }
        int numbers[3];
        for (int i = 0; i < 3; ++i) {
            if (!NumberField(SzSLIBSzListGet(list.get(), 8 + i), &numbers[i]))
                return slib::Fail(ERR_BAD_PARAMETERS);
        }
        // Field 0 always, fields 1-7 when not empty.
        size_t total = sizeof(QAVONETBKPINFO);
        for (int i = 0; i < 8; ++i) {
            const char *f = SzSLIBSzListGet(list.get(), i);
            if (i == 0 || *f) total += strlen(f) + 1;
        }
        if (total > static_cast<size_t>(INT_MAX)) return slib::Fail(ERR_BAD_PARAMETERS);
        if (!buf) {
            *size = static_cast<int>(total);
            return 0;
        }
        if (total > static_cast<size_t>(*size)) return slib::Fail(ERR_BUF_TOO_SMALL);
        memset(buf, 0, sizeof(QAVONETBKPINFO));
        char **slots[] = {&buf->szShare, &buf->szServer,   &buf->szIP,     &buf->szAuthUser,
                          &buf->szPass,  &buf->szLastTime, &buf->szModule, &buf->szPass2};
        char *end = reinterpret_cast<char *>(buf) + *size;
        for (int i = 0; i < 8; ++i) {
            const char *f = SzSLIBSzListGet(list.get(), i);
            if (i != 0 && !*f) continue;
            const size_t n = strlen(f) + 1;
            end -= n;
            memcpy(end, f, n);
            *slots[i] = end;
        }
        buf->nLastStatus = numbers[0];
        buf->fSSH = numbers[1];
        buf->nServerType = numbers[2];
        return 1;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

namespace {

std::string_view Trim(std::string_view s) {
    const size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string_view::npos) return {};
    const size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

}  // namespace

extern "C" int QAVONetBackupEnumByKey(const char *file, const char *key, PSLIBSZHASH *hash) {
    if (!file || !key || !*key || !hash || !*hash) return slib::Fail(ERR_BAD_PARAMETERS);
    try {
        slib::FilePtr fp(fopen(file, "re"));
        if (!fp) return slib::Fail(ERR_OPEN_FAILED);
        std::string section;
        bool inSection = false, found = false;
        char *raw = nullptr;
        size_t cap = 0;
        struct LineFree {
            char **line;
            ~LineFree() { free(*line); }
        } lineFree{&raw};
        ssize_t n;
        while ((n = getline(&raw, &cap, fp.get())) >= 0) {
            if (memchr(raw, '\0', static_cast<size_t>(n)) != nullptr)
                return slib::Fail(ERR_READ_FAILED);
            const std::string_view line = Trim(std::string_view(raw, static_cast<size_t>(n)));
            if (line.starts_with('[') && line.find(']') != std::string_view::npos) {
                section = Trim(line.substr(1, line.find(']') - 1));
                inSection = true;
                found = false;
                continue;
            }
            if (!inSection || found) continue;
            // The key is the whole text before the first "=" (blanks
            // around it allowed): a value that holds "key=" names no key.
            const size_t eq = line.find('=');
            if (eq == std::string_view::npos || Trim(line.substr(0, eq)) != key) continue;
            found = true;
            std::string_view value = Trim(line.substr(eq + 1));
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            if (SLIBSzHashSetValue(hash, section.c_str(), std::string(value).c_str()) < 0)
                return -1;
        }
        if (ferror(fp.get())) return slib::Fail(ERR_READ_FAILED);
        return SLIBSzHashCount(*hash);
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVONetBkpGetSharePath(const char *share, char *out, int size) {
    if (!share || !*share || !out || size < 1) return slib::Fail(ERR_BAD_PARAMETERS);
    try {
        int needed = 0;
        if (QAVOShareGet(1, share, nullptr, 0, &needed) != 0) return -1;
        std::unique_ptr<char[]> block(new char[static_cast<size_t>(needed)]);
        if (QAVOShareGet(1, share, block.get(), needed, &needed) != 1) return -1;
        const char *path = reinterpret_cast<PQAVOSHARE>(block.get())->szPath;
        const size_t len = path ? strlen(path) : 0;
        if (static_cast<size_t>(size) <= len) {
            SLIBLog(LOG_ERR, "%s (%d) Bad parameter! iSize too small", __FILE__, __LINE__);
            return slib::Fail(ERR_BUF_TOO_SMALL);
        }
        memcpy(out, path ? path : "", len + 1);
        return 0;
    } catch (const std::bad_alloc &) {
        return slib::Fail(ERR_OUT_OF_MEMORY);
    }
}

extern "C" int QAVONetBkpCancelCurrRsync(void) {
    int pids[256];
    const int found = SLIBProcGetPidsByName(QAVO_NETBKP_RSYNC_MARK, pids, 256);
    if (found <= 0) return -1;
    // Only a process that is the backup's rsync itself counts (its program
    // "rsync", then the mark's options), never a shell or a search naming it.
    int pid = 0;
    for (int i = 0; i < std::min(found, 256); ++i) {
        std::string cmdline;
        slib::FilePtr fp(fopen(("/proc/" + std::to_string(pids[i]) + "/cmdline").c_str(), "re"));
        if (!fp) continue;
        char buf[512];
        const size_t n = fread(buf, 1, sizeof buf, fp.get());
        cmdline.assign(buf, n);
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        const size_t space = cmdline.find(' ');
        const size_t slash = cmdline.rfind('/', space);
        const std::string command = cmdline.substr(slash == std::string::npos ? 0 : slash + 1);
        if (command.rfind(QAVO_NETBKP_RSYNC_MARK, 0) == 0 && slib::MaySignal(pids[i]))
            pid = pids[i];
    }
    if (pid <= 0) return -1;
    if (kill(pid, SIGTERM) != 0 && errno != ESRCH) {
        SLIBLog(LOG_ERR, "%s(%d): system[/bin/kill -15 %d] failed!", __func__, __LINE__, pid);
        return -1;
    }
    return 0;
}
