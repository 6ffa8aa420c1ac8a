// Tests' API of the simulated BIOS driver and front-panel serial port. Use
// them inside the appliance root only.
//
//   qsim::Bios bios("temperature 91\ncapability 1");
//   ... /dev/qavobios answers; bios.Journal() lists every request
//   qsim::SerialPort uart;  // /dev/ttyS1 is a pty's slave; uart.Read() its output
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

namespace qsim {

// One request the driver received.
struct BiosRequest {
    uint32_t request;
    std::vector<uint8_t> in;   // bytes handed to the driver
    int result;                // the request's result (negative errno on failure)
    std::vector<uint8_t> out;  // bytes handed back
};

// The BIOS driver "/dev/qavobios" for the life of the object. Setting lines
// (also for Control):
//   temperature N          request 16 fills N (twice the degrees; default 80)
//   capability N           request 15 fills N (default: the int stays as given)
//   event CODE             queues a hardware event (the device polls readable)
//   result NR VALUE        result of a successful request NR (low byte; default 0)
//   fail NR [COUNT|always] [errno E]   request NR fails (default once, EIO)
//   clearjournal
class Bios {
  public:
    // Throws std::runtime_error when the driver does not start.
    explicit Bios(const std::string &settings = {});
    ~Bios();
    Bios(const Bios &) = delete;
    Bios &operator=(const Bios &) = delete;

    bool Control(const std::string &line) const;
    std::vector<BiosRequest> Journal() const;
};

// The front-panel serial port: a pty whose slave is bound over /dev/ttyS1.
class SerialPort {
  public:
    SerialPort();  // throws std::runtime_error
    ~SerialPort();
    SerialPort(const SerialPort &) = delete;
    SerialPort &operator=(const SerialPort &) = delete;

    // What the appliance wrote to the port so far (waits up to wait_ms for
    // the first byte).
    std::string Read(int wait_ms = 200) const;
    // The line settings of the port.
    termios Settings() const;

  private:
    int master_ = -1;
};

}  // namespace qsim
