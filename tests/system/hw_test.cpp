// Hardware control: front-panel commands over the serial port and the BIOS
// driver, hardware events, temperature, capability, fan keys and serial.
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "appliance.h"
#include "qavo_hw.h"
#include "qavobios.h"
#include "qavosim.h"
#include "slib_keyvalue.h"

namespace {

void SetDefaults(const std::string &lines) {
    qtest::WriteFile("/etc.defaults/qavoinfo.conf", "unique=\"qavomark_ixp420_1hd\"\n" + lines);
}

std::vector<qsim::BiosRequest> Requests(const qsim::Bios &bios, uint32_t request) {
    std::vector<qsim::BiosRequest> out;
    for (auto &r : bios.Journal())
        if (r.request == request) out.push_back(r);
    return out;
}

// The 136-byte record the driver is to receive.
std::vector<uint8_t> Record(int32_t command, int32_t length, const std::string &text) {
    std::vector<uint8_t> rec(136, 0);
    memcpy(&rec[0], &command, 4);
    memcpy(&rec[4], &length, 4);
    memcpy(&rec[8], text.data(), text.size());
    return rec;
}

}  // namespace

TEST(HWExternalControl, SerialPanelGetsOneBytePerCommand) {
    SetDefaults("supportuart2=\"yes\"\n");
    qsim::Bios bios;
    {
        qsim::SerialPort uart;
        const struct {
            int command;
            char byte;
        } rows[] = {
            {0x4002, '4'}, {0x4003, '5'}, {0x5100, 'B'},  {0x5101, '@'},  {0x5102, 'A'},
            {0x5200, '8'}, {0x5201, ':'}, {0x5202, ';'},  {0x5301, '3'},  {0x5302, '2'},
            {0x5400, '1'}, {0x5500, 'q'}, {0x5600, 'p'},  {0x0812, '8'},  {0x1000, '8'},
            {0x0901, ';'}, {0x1105, ';'}, {0x7000, '\0'}, {0x5203, '\0'}, {0x4000, '\0'},
        };
        for (const auto &row : rows) {
            EXPECT_EQ(QAVOHWExternalControl(row.command, 0, nullptr), 0) << std::hex << row.command;
            EXPECT_EQ(uart.Read(), std::string(1, row.byte)) << std::hex << row.command;
        }
        // The data never reaches the panel: one byte all the same.
        EXPECT_EQ(QAVOHWExternalControl(0x4003, 5, "hello"), 0);
        EXPECT_EQ(uart.Read(), "5");

        const termios t = uart.Settings();
        EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
        EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_TRUE(t.c_cflag & CREAD);
        EXPECT_TRUE(t.c_cflag & CLOCAL);
        EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS));
        EXPECT_EQ(t.c_lflag, 0u);
    }
    // Without the port the command fails; the driver is never asked.
    qtest::ClearSyslog();
    EXPECT_EQ(QAVOHWExternalControl(0x4003, 0, nullptr), -1);
    EXPECT_TRUE(qtest::SyslogHas("open uart2 error, error=(2)", 3));
    EXPECT_TRUE(bios.Journal().empty());
    EXPECT_EQ(QAVOHWUart2Setup(-1), -1);
}

TEST(HWExternalControl, DriverGetsTheRecord) {
    SetDefaults("supportuart2=\"Yes\"\n");  // not exactly "yes": no serial panel
    EXPECT_EQ(BlQAVOHWIsUart2(), 0);
    EXPECT_EQ(QAVOHWExternalControl(0x4003, 0, nullptr), -1);  // no driver yet
    qsim::Bios bios;
    const std::string longText(200, 'x');
    EXPECT_EQ(QAVOHWExternalControl(0x4003, 0, nullptr), 0);
    EXPECT_EQ(QAVOHWExternalControl(0x5100, 20, "short"), 0);
    EXPECT_EQ(QAVOHWExternalControl(0x5200, 200, longText.c_str()), 0);
    EXPECT_EQ(QAVOHWExternalControl(0x5201, 3, "abcdef"), 0);
    auto reqs = Requests(bios, QAVO_BIOS_EXTCTRL);
    ASSERT_EQ(reqs.size(), 4u);
    EXPECT_EQ(reqs[0].in, Record(0x4003, 0, ""));
    EXPECT_EQ(reqs[1].in, Record(0x5100, 20, "short"));
    EXPECT_EQ(reqs[2].in, Record(0x5200, 200, std::string(127, 'x')));
    EXPECT_EQ(reqs[3].in, Record(0x5201, 3, "abc"));

    // Bad length or data touches no device.
    bios.Control("clearjournal");
    EXPECT_EQ(QAVOHWExternalControl(0x5100, 5, nullptr), -1);
    EXPECT_EQ(QAVOHWExternalControl(0x5100, -1, "x"), 0);
    EXPECT_TRUE(bios.Journal().empty());

    // The result is the request's.
    bios.Control("result 1 7");
    EXPECT_EQ(QAVOHWExternalControl(0x5500, 0, nullptr), 7);
    bios.Control("fail 1");
    EXPECT_EQ(QAVOHWExternalControl(0x5500, 0, nullptr), -1);
}

TEST(HWGetEvent, WaitsForAnEvent) {
    EXPECT_EQ(QAVOHWGetEvent(nullptr, 0), -1);
    int event = 0;
    EXPECT_EQ(QAVOHWGetEvent(&event, 0), -1);  // no driver
    qsim::Bios bios;
    using Clock = std::chrono::steady_clock;
    auto t0 = Clock::now();
    EXPECT_EQ(QAVOHWGetEvent(&event, 0), 1);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));

    bios.Control("event 7");
    EXPECT_EQ(QAVOHWGetEvent(&event, 0), 0);
    EXPECT_EQ(event, 7);

    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        bios.Control("event 42");
    });
    t0 = Clock::now();
    EXPECT_EQ(QAVOHWGetEvent(&event, 5), 0);
    const auto waited = Clock::now() - t0;
    later.join();
    EXPECT_EQ(event, 42);
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::milliseconds(4500));

    // A failed read after the wait.
    bios.Control("event 9");
    bios.Control("fail 2");
    testing::internal::CaptureStdout();
    EXPECT_EQ(QAVOHWGetEvent(&event, 1), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "QAVOHWGetEvent: (ERROR) ioctl error\n");
}

TEST(HWSysTempDegree, HalfTheDriversValue) {
    int degrees = 0;
    EXPECT_EQ(QAVOHWSysTempDegree(&degrees), -1);
    EXPECT_TRUE(qtest::SyslogHas("Failed to open /dev/qavobios", 3));
    qsim::Bios bios("temperature 91");
    EXPECT_EQ(QAVOHWSysTempDegree(&degrees), 0);
    EXPECT_EQ(degrees, 45);
    bios.Control("temperature -3");
    EXPECT_EQ(QAVOHWSysTempDegree(&degrees), 0);
    EXPECT_EQ(degrees, -1);
    bios.Control("fail 16 errno 5");
    EXPECT_EQ(QAVOHWSysTempDegree(&degrees), -1);
    EXPECT_TRUE(qtest::SyslogHas("Failed to ioctl(), [5(", 3));
}

TEST(HWCapabilityTest, HardwareVersionAndDriverAnswer) {
    const char *kFile = "/proc/sys/kernel/qavo_hw_version";
    EXPECT_EQ(BlQAVOHWCapabilityTest(), 0);  // no line
    qsim::Bios bios;
    const struct {
        const char *line;
        const char *driver;  // setting before the call
        int result;
        bool asked;
    } cases[] = {
        {"", nullptr, 0, false},
        {"QAVO-k3a-1\n", nullptr, 0, false},
        {"QAVO-k3b\n", "capability 1", 0, false},
        {"QAVO-F1-n\n", nullptr, 1, false},
        {"QAVO-k7c\n", "capability 1", 1, true},
        {"QAVO-k7c\n", "capability 0", 0, true},
        {"QAVO-k7c\n", "fail 15", 0, true},
        {"QAVO-12345k7c\n", nullptr, 1, false},  // past the 11 characters read
    };
    for (const auto &c : cases) {
        qtest::WriteFile(kFile, c.line);
        if (c.driver) bios.Control(c.driver);
        bios.Control("clearjournal");
        EXPECT_EQ(BlQAVOHWCapabilityTest(), c.result) << c.line << c.driver;
        auto reqs = Requests(bios, QAVO_BIOS_CAPABILITY);
        ASSERT_EQ(reqs.size(), c.asked ? 1u : 0u) << c.line;
        if (c.asked) {
            EXPECT_EQ(reqs[0].in, std::vector<uint8_t>(4, 0xff));
        }
    }
}

TEST(HWFanConfig, Keys) {
    SetDefaults("supportfanctrl=\"yes\"\n");
    EXPECT_EQ(BlQAVOFanCtrlIsSupported(), 1);
    SetDefaults("supportfanctrl=\"YES\"\n");
    EXPECT_EQ(BlQAVOFanCtrlIsSupported(), 0);
    SetDefaults("");
    EXPECT_EQ(BlQAVOFanCtrlIsSupported(), 0);

    const struct {
        int code;
        const char *stored;
    } sets[] = {{0, "on"}, {1, "off"}, {2, "high"}, {3, "low"}, {7, "on"}, {-1, "on"}};
    for (const auto &s : sets) {
        QAVOINFOSetKeyValue("fanspeed", "low");
        EXPECT_EQ(QAVOFanConfigSpeedSet(s.code), 0);
        char value[16] = "";
        SLIBFileGetKeyValue("/etc/qavoinfo.conf", "fanspeed", value, sizeof(value), 0);
        EXPECT_STREQ(value, s.stored) << s.code;
        EXPECT_EQ(QAVOFanConfigSpeedGet(), s.code >= 0 && s.code <= 3 ? s.code : 0);
    }
    QAVOINFOSetKeyValue("fanspeed", "HIGH");
    EXPECT_EQ(QAVOFanConfigSpeedGet(), 0);

    EXPECT_EQ(QAVOFanConfigTimeGet(), 0);
    EXPECT_EQ(QAVOFanConfigTimeSet("30"), 0);
    EXPECT_EQ(QAVOFanConfigTimeGet(), 30);
    EXPECT_EQ(QAVOFanConfigTimeSet(nullptr), -1);
    EXPECT_EQ(QAVOFanConfigTimeSet("1\nfanspeed=\"high\""), -1);  // no second line planted
    EXPECT_EQ(QAVOFanConfigTimeGet(), 30);
}

TEST(HWSerialGet, KernelLine) {
    char buf[16] = "junk";
    EXPECT_EQ(QAVOHWSerialGet(buf, sizeof(buf)), 0);  // no file: empty
    EXPECT_STREQ(buf, "");
    qsim::Appliance hw("serial B7C40012");
    EXPECT_EQ(QAVOHWSerialGet(buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "B7C40012");
    EXPECT_EQ(QAVOHWSerialGet(buf, 5), 0);
    EXPECT_STREQ(buf, "B7C4");
    EXPECT_EQ(QAVOHWSerialGet(nullptr, 5), 0);
    EXPECT_EQ(QAVOHWSerialGet(buf, 0), 0);
    EXPECT_TRUE(qtest::SyslogHas("cbSize(0) must be large than 0", 3));
}
