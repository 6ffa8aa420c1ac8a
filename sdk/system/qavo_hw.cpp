// Hardware control through the BIOS driver and the serial front panel.
#include "qavo_hw.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "slib_errcode.h"
#include "slib_keyvalue.h"
#include "slib_util.h"

static_assert(sizeof(QAVOHWEXTCTRL) == 136, "the driver's record is 136 bytes");

namespace {

constexpr const char *kSource = "sdk/qavoexternal";
constexpr const char *kHwVersion = "/proc/sys/kernel/qavo_hw_version";
constexpr const char *kSerial = "/proc/sys/kernel/qavo_serial";

// The device closed when it goes out of scope.
using slib::Fd;

// The byte that stands for a command on the serial front panel.
unsigned char PanelByte(int command) {
    static const struct {
        int command;
        unsigned char byte;
    } kTable[] = {
        {0x4002, '4'}, {0x4003, '5'}, {0x5100, 'B'}, {0x5101, '@'}, {0x5102, 'A'},
        {0x5200, '8'}, {0x5201, ':'}, {0x5202, ';'}, {0x5301, '3'}, {0x5302, '2'},
        {0x5400, '1'}, {0x5500, 'q'}, {0x5600, 'p'},
    };
    for (const auto &row : kTable)
        if (row.command == command) return row.byte;
    switch (command & 0xff00) {
        case 0x0800:
        case 0x1000:
            return '8';
        case 0x0900:
        case 0x1100:
            return ';';
        default:
            return 0x00;
    }
}

int SendToPanel(int command) {
    const unsigned char byte = PanelByte(command);
    Fd port(open(QAVO_UART2_DEVICE, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (port.fd < 0) {
        const int e = errno;
        SLIBLog(LOG_ERR, "open uart2 error, error=(%d)%s", e, strerror(e));
        return -1;
    }
    QAVOHWUart2Setup(port.fd);
    ssize_t n;
    do {
        n = write(port.fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    if (n < 1) {
        const int e = n < 0 ? errno : EIO;
        SLIBLog(LOG_ERR, "write to uart2 error, error=(%d)%s", e, strerror(e));
        return -1;
    }
    return 0;
}

}  // namespace

extern "C" int QAVOHWBiosOpen(void) {
    return open(QAVO_BIOS_DEVICE, O_RDWR | O_CLOEXEC);
}

extern "C" int BlQAVOHWIsUart2(void) {
    static int cached = -1;
    if (cached < 0) cached = slib::DefaultIsYes("supportuart2", 512) ? 1 : 0;
    return cached;
}

extern "C" int QAVOHWUart2Setup(int fd) {
    if (fd < 0) return -1;
    termios tio;
    if (tcgetattr(fd, &tio) != 0) memset(&tio, 0, sizeof(tio));
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_lflag = 0;
    (void)tcsetattr(fd, TCSANOW, &tio);
    return 0;
}

extern "C" int QAVOHWExternalControl(int command, int length, const char *data) {
    if (length != 0 && data == nullptr) return -1;
    if (length < 0) return 0;
    if (BlQAVOHWIsUart2()) return SendToPanel(command);

    QAVOHWEXTCTRL rec;
    memset(&rec, 0, sizeof(rec));
    rec.command = command;
    rec.length = length;
    if (data != nullptr) {
        // Copied as a string: a shorter text ends with zero bytes; byte 127
        // stays zero.
        const size_t n = length < QAVO_HWEXTCTRL_DATA - 1 ? static_cast<size_t>(length)
                                                          : QAVO_HWEXTCTRL_DATA - 1;
        strncpy(rec.data, data, n);
    }
    Fd bios(QAVOHWBiosOpen());
    if (bios.fd < 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to open %s", kSource, __LINE__, QAVO_BIOS_DEVICE);
        return -1;
    }
    return ioctl(bios.fd, QAVO_BIOS_EXTCTRL, &rec);
}

extern "C" int QAVOHWGetEvent(int *event, int timeout) {
    Fd bios(QAVOHWBiosOpen());
    if (bios.fd < 0 || event == nullptr) return -1;
    int ms = -1;
    if (timeout >= 0) ms = timeout > INT_MAX / 1000 ? INT_MAX : timeout * 1000;
    pollfd p{bios.fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR && ms < 0);
    if (r <= 0 || !(p.revents & POLLIN)) return 1;
    int code = 0;
    if (ioctl(bios.fd, QAVO_BIOS_GETEVENT, &code) < 0) {
        printf("QAVOHWGetEvent: (ERROR) ioctl error\n");
        fflush(stdout);
        return 1;
    }
    *event = code;
    return 0;
}

extern "C" int BlQAVOFanCtrlIsSupported(void) {
    return slib::DefaultIsYes("supportfanctrl", 48) ? 1 : 0;
}

extern "C" int QAVOHWSysTempDegree(int *degrees) {
    if (degrees == nullptr) return -1;
    Fd bios(QAVOHWBiosOpen());
    if (bios.fd < 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to open %s", kSource, __LINE__, QAVO_BIOS_DEVICE);
        return -1;
    }
    int value = 0;
    if (ioctl(bios.fd, QAVO_BIOS_TEMPERATURE, &value) < 0) {
        SLIBLog(LOG_ERR, "%s:%d(%s) Failed to ioctl(), [%d(%m)]\n", kSource, __LINE__, __func__,
                errno);
        return -1;
    }
    *degrees = value / 2;
    return 0;
}

extern "C" int BlQAVOHWCapabilityTest(void) {
    char line[12] = "";
    FILE *fp = fopen(kHwVersion, "re");
    if (fp == nullptr) return 0;
    const bool read = fgets(line, sizeof(line), fp) != nullptr;
    fclose(fp);
    if (!read || line[0] == '\0') return 0;
    if (strstr(line, "k3a") || strstr(line, "k3b")) return 0;
    if (!strstr(line, "k7c")) return 1;
    Fd bios(QAVOHWBiosOpen());
    if (bios.fd < 0) return 0;
    int answer = -1;
    return ioctl(bios.fd, QAVO_BIOS_CAPABILITY, &answer) >= 0 && answer == 1 ? 1 : 0;
}

extern "C" int QAVOFanConfigSpeedGet(void) {
    char value[1024] = "";
    const int r = SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "fanspeed", value, sizeof(value), 0);
    if (r < 0) {
        SLIBLog(LOG_ERR, "%s (%d) Failed to get fan speed form qavoinfo.conf", __func__, __LINE__);
        return QAVO_FAN_ON;
    }
    static const char *const kNames[] = {"on", "off", "high", "low"};
    for (int i = 0; i < 4; ++i)
        if (r > 0 && strcmp(value, kNames[i]) == 0) return i;
    return QAVO_FAN_ON;
}

extern "C" int QAVOFanConfigSpeedSet(int speed) {
    static const char *const kNames[] = {"on", "off", "high", "low"};
    if (speed < 0 || speed > 3) {
        SLIBLog(LOG_ERR, "%s (%d) Bad FanSpeed: %d", __func__, __LINE__, speed);
        speed = QAVO_FAN_ON;
    }
    if (QAVOINFOSetKeyValue("fanspeed", kNames[speed]) < 0) {
        SLIBLog(LOG_ERR, "%s(%d) failed set key %s to %s", __func__, __LINE__, "fanspeed",
                kNames[speed]);
        return -1;
    }
    return 0;
}

extern "C" int QAVOFanConfigTimeGet(void) {
    char value[64] = "";
    if (SLIBFileGetKeyValue(SLIB_QAVOINFO_PATH, "fantime", value, sizeof(value), 0) <= 0) return 0;
    const long v = strtol(value, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

extern "C" int QAVOFanConfigTimeSet(const char *value) {
    if (value == nullptr) SLIBLog(LOG_ERR, "%s(%d) bad parameter", __func__, __LINE__);
    if (QAVOINFOSetKeyValue("fantime", value) < 0) {
        SLIBLog(LOG_ERR, "%s(%d) failed set key %s to %s", __func__, __LINE__, "fantime",
                value ? value : "(null)");
        return -1;
    }
    return 0;
}

extern "C" int QAVOHWSerialGet(char *buffer, int size) {
    if (buffer == nullptr) {
        SLIBLog(LOG_ERR, "%s (%d) szSerial can't be null", __func__, __LINE__);
        return 0;
    }
    if (size < 1) {
        SLIBLog(LOG_ERR, "%s (%d) cbSize(%d) must be large than 0", __func__, __LINE__, size);
        return 0;
    }
    memset(buffer, 0, static_cast<size_t>(size));
    Fd fd(open(kSerial, O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return 0;
    size_t got = 0;
    while (got < static_cast<size_t>(size) - 1) {
        const ssize_t n = read(fd.fd, buffer + got, static_cast<size_t>(size) - 1 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    buffer[got] = '\0';
    if (char *nl = strchr(buffer, '\n')) *nl = '\0';
    return 0;
}
