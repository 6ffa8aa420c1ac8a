/*
 * Stand-in for an appliance daemon (smbd, nmbd, afpd, ftpd, ...): a real
 * process with the daemon's name, installed under each daemon's path.
 *
 * A start records the call in /sim/calls.log like every stand-in (program
 * path, then its arguments, tab-separated) and exits with the status a test
 * chose in /sim/standin/<name>.status; with 0 (the default) it detaches a
 * daemon first and returns once the daemon runs and its pid file
 * /var/run/<name>.pid is in place. A second start while the daemon runs
 * fails with 1, as real daemons refuse a second instance.
 *
 * The daemon records in /sim/daemons.log one line "<name>\t<pid>\t<event>"
 * for its start ("start") and for every signal it gets ("SIGHUP",
 * "SIGTERM", ...). SIGTERM, SIGINT and SIGQUIT end it (its pid file is
 * removed); SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM and SIGWINCH are
 * only recorded. SIGKILL cannot
 * be recorded: the process is simply gone.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *gName;
static char gPidFile[256];

/* Appends one whole line with a single write (O_APPEND keeps lines whole). */
static void AppendLine(const char *path, const char *line) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t w = write(fd, line, strlen(line));
    (void)w;
    close(fd);
}

/* Async-signal-safe: only stack buffers, write and close. */
static void Record(const char *event) {
    char line[256];
    char pid[16];
    int n = 0;
    long p = (long)getpid();
    char digits[16];
    int d = 0;
    do {
        digits[d++] = (char)('0' + p % 10);
        p /= 10;
    } while (p > 0 && d < (int)sizeof(digits));
    while (d > 0)
        pid[n++] = digits[--d];
    pid[n] = '\0';
    line[0] = '\0';
    strncat(line, gName, 100);
    strcat(line, "\t");
    strcat(line, pid);
    strcat(line, "\t");
    strncat(line, event, 100);
    strcat(line, "\n");
    AppendLine("/sim/daemons.log", line);
}

static void OnSignal(int sig) {
    char event[32] = "SIG";
    const char *abbrev = sigabbrev_np(sig);
    strncat(event, abbrev ? abbrev : "UNKNOWN", sizeof(event) - 4);
    Record(event);
    if (sig == SIGTERM || sig == SIGINT || sig == SIGQUIT) {
        unlink(gPidFile);
        _exit(0);
    }
}

/* 1 when the process has ended and only waits to be reaped (a killed
 * daemon's pid file stays behind: SIGKILL leaves no time to remove it). */
static int Ended(long pid) {
    char path[64], stat[512];
    snprintf(path, sizeof(path), "/proc/%ld/stat", pid);
    FILE *fp = fopen(path, "re");
    if (fp == NULL) return 1;
    size_t n = fread(stat, 1, sizeof(stat) - 1, fp);
    fclose(fp);
    stat[n] = '\0';
    const char *close = strrchr(stat, ')');
    return close != NULL && (close[1] == ' ') && (close[2] == 'Z' || close[2] == 'X');
}

/* The pid a pid file names when that process runs, else 0. */
static pid_t RunningPid(void) {
    FILE *fp = fopen(gPidFile, "re");
    if (fp == NULL) return 0;
    long pid = 0;
    int ok = fscanf(fp, "%ld", &pid) == 1;
    fclose(fp);
    if (!ok || pid <= 1 || kill((pid_t)pid, 0) != 0 || Ended(pid)) return 0;
    return (pid_t)pid;
}

static int ChosenStatus(void) {
    char path[256];
    snprintf(path, sizeof(path), "/sim/standin/%s.status", gName);
    FILE *fp = fopen(path, "re");
    if (fp == NULL) return 0;
    int status = 0;
    if (fscanf(fp, "%d", &status) != 1) status = 0;
    fclose(fp);
    return status;
}

static void RecordCall(int argc, char **argv) {
    size_t len = 2;
    for (int i = 0; i < argc; ++i)
        len += strlen(argv[i]) + 1;
    char *line = malloc(len);
    if (line == NULL) return;
    line[0] = '\0';
    for (int i = 0; i < argc; ++i) {
        if (i > 0) strcat(line, "\t");
        strcat(line, argv[i]);
    }
    strcat(line, "\n");
    AppendLine("/sim/calls.log", line);
    free(line);
}

static int WritePidFile(void) {
    char tmp[300];
    snprintf(tmp, sizeof(tmp), "%s.%ld", gPidFile, (long)getpid());
    FILE *fp = fopen(tmp, "we");
    if (fp == NULL) return -1;
    fprintf(fp, "%ld\n", (long)getpid());
    if (fclose(fp) != 0 || rename(tmp, gPidFile) != 0) {
        unlink(tmp);
        return -1;
    }
    return 0;
}

int main(int argc, char **argv) {
    const char *slash = strrchr(argv[0], '/');
    gName = slash ? slash + 1 : argv[0];
    snprintf(gPidFile, sizeof(gPidFile), "/var/run/%s.pid", gName);
    RecordCall(argc, argv);
    int status = ChosenStatus();
    if (status != 0) return status;
    if (RunningPid() != 0) return 1;

    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0) return 1;
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid > 0) {
        close(ready[1]);
        char c;
        ssize_t r;
        do {
            r = read(ready[0], &c, 1);
        } while (r < 0 && errno == EINTR);
        return r == 1 ? 0 : 1;
    }
    close(ready[0]);
    setsid();
    /* Detached: nothing of the starter's (a pipe it reads to the end) stays open. */
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        if (null > STDERR_FILENO) close(null);
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnSignal;
    sigfillset(&sa.sa_mask);
    static const int kCaught[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGUSR1, SIGUSR2,
                                  SIGTERM, SIGPIPE, SIGALRM, SIGWINCH};
    for (size_t i = 0; i < sizeof(kCaught) / sizeof(kCaught[0]); ++i)
        sigaction(kCaught[i], &sa, NULL);
    mkdir("/var/run", 0755);
    if (WritePidFile() != 0) _exit(1);
    Record("start");
    if (write(ready[1], "", 1) != 1) _exit(1);
    close(ready[1]);
    for (;;)
        pause();
}
