/* qavo-mtd-erase [-u] DEVICE [START LENGTH]: one MEMERASE request (with -u
 * one MEMUNLOCK request) over the whole device (its MEMGETINFO size) or over
 * the given range, as a bare reference for the updater's erases and unlocks
 * in the benchmarks. */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

struct mtd_info_user_ {
    uint8_t type;
    uint32_t flags, size, erasesize, writesize, oobsize;
    uint64_t padding;
};
struct erase_info_user_ {
    uint32_t start, length;
};
#define MEMGETINFO_ _IOR('M', 1, struct mtd_info_user_)
#define MEMERASE_ _IOW('M', 2, struct erase_info_user_)
#define MEMUNLOCK_ _IOW('M', 6, struct erase_info_user_)

int main(int argc, char **argv) {
    int unlock = argc > 1 && strcmp(argv[1], "-u") == 0;
    argc -= unlock;
    argv += unlock;
    if (argc != 2 && argc != 4) {
        fprintf(stderr, "usage: qavo-mtd-erase [-u] DEVICE [START LENGTH]\n");
        return 2;
    }
    int fd = open(argv[1], O_RDWR);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    struct erase_info_user_ e = {0, 0};
    if (argc == 4) {
        e.start = (uint32_t)strtoul(argv[2], NULL, 0);
        e.length = (uint32_t)strtoul(argv[3], NULL, 0);
    } else {
        struct mtd_info_user_ info;
        memset(&info, 0, sizeof info);
        if (ioctl(fd, MEMGETINFO_, &info) != 0) {
            perror("MEMGETINFO");
            close(fd);
            return 1;
        }
        e.length = info.size;
    }
    if (ioctl(fd, unlock ? MEMUNLOCK_ : MEMERASE_, &e) != 0) {
        perror(unlock ? "MEMUNLOCK" : "MEMERASE");
        close(fd);
        return 1;
    }
    close(fd);
    return 0;
}
