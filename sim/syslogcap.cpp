// Syslog capture of the appliance root: binds a datagram socket (normally
// /dev/log) and appends every message it receives, as one line, to a file.
// It detaches once the socket is bound, so the caller can log at once.
// A sender with an address of its own (a logger's socket has none) gets its
// message back once the line has been written: a barrier that needs no
// clock.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: qavo-syslogcap SOCKET FILE\n");
        return 2;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (strlen(argv[1]) >= sizeof(addr.sun_path)) return 2;
    strcpy(addr.sun_path, argv[1]);
    unlink(argv[1]);
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        perror("qavo-syslogcap");
        return 1;
    }
    chmod(argv[1], 0666);
    int out = open(argv[2], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0) {
        perror("qavo-syslogcap");
        return 1;
    }
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid > 0) return 0;
    setsid();
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        if (null > 2) close(null);
    }
    std::string buf(65536, '\0');
    for (;;) {
        sockaddr_un from{};
        socklen_t fromLen = sizeof(from);
        ssize_t n =
            recvfrom(s, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from), &fromLen);
        if (n < 0) continue;
        std::string line(buf.data(), static_cast<size_t>(n));
        // One record per line: newlines inside a message are shown as \n.
        std::string rec;
        for (char c : line) {
            if (c == '\n')
                rec += "\\n";
            else if (c == '\\')
                rec += "\\\\";
            else if (c != '\0')
                rec += c;
        }
        rec += '\n';
        // A line that could not be written is missing from the file, where
        // the sender looks for it.
        if (write(out, rec.data(), rec.size()) < 0) {
        }
        // Never waits: a sender that has gone or does not read is no reason
        // to stop capturing.
        if (fromLen > sizeof(sa_family_t))
            sendto(s, buf.data(), static_cast<size_t>(n), MSG_DONTWAIT,
                   reinterpret_cast<sockaddr *>(&from), fromLen);
    }
}
