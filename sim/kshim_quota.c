/* Kernel shim, disk quotas: quotactl. The kernel here has no quota format,
 * so the shim keeps user quotas itself, one state file per device under
 * /sim/quota (the device path with every '/' turned into '_'), shared by
 * every process of the appliance root:
 *   on FORMAT                 quotas are on (FORMAT as Q_GETFMT answers it)
 *   user ID BHARD BSOFT SPACE IHARD ISOFT INODES BTIME ITIME
 * A device without a file, or without an "on" line, has quotas off; the
 * quotaon stand-in writes the "on" line, a test writes "user" lines to set
 * the space in use. Answered: Q_GETQUOTA, Q_SETQUOTA, Q_SYNC and Q_GETFMT of
 * user quotas; a missing device path gives ENOENT, quotas off ESRCH, any
 * other command or quota type EINVAL. Each call is appended to
 * /sim/kernel.log with its record:
 *   quotactl CMD DEVICE id ID -> R [errno E] [bhard B bsoft B space S ... valid V]
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/quota.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kshim.h"

#define QUOTA_ROOT "/sim/quota"
#define MAX_IDS 4096

typedef struct {
    unsigned id;
    struct dqblk q;
} Record;

typedef struct {
    int on;
    unsigned format;
    int n;
    Record rec[MAX_IDS];
} State;

static void StatePath(const char *dev, char *buf, size_t size) {
    int n = snprintf(buf, size, "%s/", QUOTA_ROOT);
    for (const char *p = dev; *p && (size_t)n + 1 < size; ++p)
        buf[n++] = *p == '/' ? '_' : *p;
    buf[n] = 0;
}

static void Parse(char *text, State *s) {
    for (char *line = strtok(text, "\n"); line; line = strtok(NULL, "\n")) {
        unsigned fmt;
        Record r;
        memset(&r, 0, sizeof r);
        if (sscanf(line, "on %u", &fmt) == 1) {
            s->on = 1;
            s->format = fmt;
        } else if (s->n < MAX_IDS &&
                   sscanf(line,
                          "user %u %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64 " %" SCNu64
                          " %" SCNu64 " %" SCNu64 " %" SCNu64,
                          &r.id, &r.q.dqb_bhardlimit, &r.q.dqb_bsoftlimit, &r.q.dqb_curspace,
                          &r.q.dqb_ihardlimit, &r.q.dqb_isoftlimit, &r.q.dqb_curinodes,
                          &r.q.dqb_btime, &r.q.dqb_itime) >= 4) {
            s->rec[s->n++] = r;
        }
    }
}

/* Reads the device's state, the file locked (fd returned, -1 when absent). */
static int Load(const char *dev, State *s, int forWrite) {
    char path[256];
    StatePath(dev, path, sizeof path);
    memset(s, 0, sizeof *s);
    if (forWrite) mkdir(QUOTA_ROOT, 0755);
    int fd = open(path, (forWrite ? O_RDWR | O_CREAT : O_RDONLY) | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    flock(fd, forWrite ? LOCK_EX : LOCK_SH);
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
        char *text = malloc((size_t)st.st_size + 1);
        if (text) {
            ssize_t got = pread(fd, text, (size_t)st.st_size, 0);
            text[got > 0 ? got : 0] = 0;
            Parse(text, s);
            free(text);
        }
    }
    return fd;
}

static int Store(int fd, const State *s) {
    size_t cap = 64 + (size_t)s->n * 200;
    char *text = malloc(cap);
    if (!text) return -1;
    size_t len = 0;
    if (s->on) len += (size_t)snprintf(text + len, cap - len, "on %u\n", s->format);
    for (int i = 0; i < s->n; ++i) {
        const struct dqblk *q = &s->rec[i].q;
        len += (size_t)snprintf(text + len, cap - len,
                                "user %u %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64
                                " %" PRIu64 " %" PRIu64 " %" PRIu64 "\n",
                                s->rec[i].id, q->dqb_bhardlimit, q->dqb_bsoftlimit, q->dqb_curspace,
                                q->dqb_ihardlimit, q->dqb_isoftlimit, q->dqb_curinodes,
                                q->dqb_btime, q->dqb_itime);
    }
    int r = ftruncate(fd, 0) == 0 && pwrite(fd, text, len, 0) == (ssize_t)len ? 0 : -1;
    free(text);
    return r;
}

static Record *Find(State *s, unsigned id) {
    for (int i = 0; i < s->n; ++i)
        if (s->rec[i].id == id) return &s->rec[i];
    return NULL;
}

static const char *CommandName(unsigned sub) {
    switch (sub) {
        case Q_GETQUOTA:
            return "GETQUOTA";
        case Q_SETQUOTA:
            return "SETQUOTA";
        case Q_SYNC:
            return "SYNC";
        case Q_GETFMT:
            return "GETFMT";
        default:
            return "OTHER";
    }
}

static void Log(unsigned cmd, const char *dev, int id, int result, const struct dqblk *q,
                unsigned fmt) {
    int saved = errno;
    char line[400];
    int n = snprintf(line, sizeof line, "quotactl %s %s id %d -> %d",
                     CommandName(cmd >> SUBCMDSHIFT), dev ? dev : "-", id, result);
    if (result != 0) {
        n += snprintf(line + n, sizeof line - (size_t)n, " errno %d", saved);
    } else if (q) {
        n += snprintf(
            line + n, sizeof line - (size_t)n,
            " bhard %" PRIu64 " bsoft %" PRIu64 " space %" PRIu64 " ihard %" PRIu64
            " isoft %" PRIu64 " inodes %" PRIu64 " btime %" PRIu64 " itime %" PRIu64 " valid 0x%x",
            q->dqb_bhardlimit, q->dqb_bsoftlimit, q->dqb_curspace, q->dqb_ihardlimit,
            q->dqb_isoftlimit, q->dqb_curinodes, q->dqb_btime, q->dqb_itime, q->dqb_valid);
    } else if ((cmd >> SUBCMDSHIFT) == Q_GETFMT) {
        n += snprintf(line + n, sizeof line - (size_t)n, " format %u", fmt);
    }
    snprintf(line + n, sizeof line - (size_t)n, "\n");
    QsimShimNote(line);
    errno = saved;
}

static int Fail(int err) {
    errno = err;
    return -1;
}

/* Applies the fields the valid mask names, as the kernel's set does. */
static void Apply(struct dqblk *to, const struct dqblk *from) {
    if (from->dqb_valid & QIF_BLIMITS) {
        to->dqb_bhardlimit = from->dqb_bhardlimit;
        to->dqb_bsoftlimit = from->dqb_bsoftlimit;
    }
    if (from->dqb_valid & QIF_SPACE) to->dqb_curspace = from->dqb_curspace;
    if (from->dqb_valid & QIF_ILIMITS) {
        to->dqb_ihardlimit = from->dqb_ihardlimit;
        to->dqb_isoftlimit = from->dqb_isoftlimit;
    }
    if (from->dqb_valid & QIF_INODES) to->dqb_curinodes = from->dqb_curinodes;
    if (from->dqb_valid & QIF_BTIME) to->dqb_btime = from->dqb_btime;
    if (from->dqb_valid & QIF_ITIME) to->dqb_itime = from->dqb_itime;
}

static int Answer(unsigned cmd, const char *dev, int id, void *addr, struct dqblk *shown,
                  unsigned *fmt) {
    unsigned sub = cmd >> SUBCMDSHIFT, type = cmd & SUBCMDMASK;
    if (type != USRQUOTA ||
        (sub != Q_GETQUOTA && sub != Q_SETQUOTA && sub != Q_SYNC && sub != Q_GETFMT))
        return Fail(EINVAL);
    if (!dev) return sub == Q_SYNC ? 0 : Fail(EINVAL); /* sync of every device */
    struct stat st;
    if (stat(dev, &st) != 0) return Fail(ENOENT);
    State *s = malloc(sizeof *s);
    if (!s) return Fail(ENOMEM);
    int fd = Load(dev, s, sub == Q_SETQUOTA);
    int r = 0;
    if (!s->on) {
        r = Fail(ESRCH);
    } else if ((sub == Q_GETQUOTA || sub == Q_SETQUOTA || sub == Q_GETFMT) && !addr) {
        r = Fail(EFAULT);
    } else if (sub == Q_GETQUOTA) {
        Record *rec = Find(s, (unsigned)id);
        struct dqblk *q = (struct dqblk *)addr;
        memset(q, 0, sizeof *q);
        if (rec) *q = rec->q;
        q->dqb_valid = QIF_ALL;
        *shown = *q;
    } else if (sub == Q_SETQUOTA) {
        Record *rec = Find(s, (unsigned)id);
        if (!rec && s->n < MAX_IDS) {
            rec = &s->rec[s->n++];
            memset(rec, 0, sizeof *rec);
            rec->id = (unsigned)id;
        }
        if (!rec) {
            r = Fail(ENOSPC);
        } else {
            Apply(&rec->q, (const struct dqblk *)addr);
            *shown = *(const struct dqblk *)addr;
            if (Store(fd, s) != 0) r = Fail(EIO);
        }
    } else if (sub == Q_GETFMT) {
        uint32_t f = s->format;
        memcpy(addr, &f, sizeof f);
        *fmt = f;
    }
    int saved = errno;
    if (fd >= 0) close(fd);
    free(s);
    errno = saved;
    return r;
}

int quotactl(int cmd, const char *special, int id, caddr_t addr) {
    struct dqblk shown;
    unsigned fmt = 0;
    shown.dqb_valid = 0;
    unsigned ucmd = (unsigned)cmd, sub = ucmd >> SUBCMDSHIFT;
    int r = Answer(ucmd, special, id, addr, &shown, &fmt);
    int withRecord = r == 0 && (sub == Q_GETQUOTA || sub == Q_SETQUOTA);
    Log(ucmd, special, id, r, withRecord ? &shown : NULL, fmt);
    return r;
}
