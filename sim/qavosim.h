// Tests' and tools' API of the simulated appliance hardware: starts the
// flash emulator and sets the kernel shim from a short description, and
// reads and steers the emulated chip. Use it inside the appliance root only.
//
//   qsim::Appliance hw(R"(
//       edition pomlet
//       strict on
//       uptime 120
//   )");
//   ... /dev/mtd0../dev/mtd5 and /dev/mtd_vender are now the chip's windows
//   auto chip = hw.Chip();
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "flashchip.h"

namespace qsim {

// Starts what the description asks for (flash daemon, device files, kernel
// settings, hardware-version line). dir resolves relative file names.
bool Up(const std::string &description, const std::string &dir, std::string *err);
// Stops the flash daemon, removes the device files and the kernel settings.
void Down();

// Whole-chip access and control of a running emulator.
std::vector<uint8_t> ReadChip();
// Loads the whole chip; bytes of another size than the chip's are refused
// with the chip left as it was.
bool WriteChip(const std::vector<uint8_t> &bytes);
// Size of the running emulator's chip; 0 when none runs.
uint64_t ChipSize();
bool Control(const std::string &line);
std::vector<JournalRec> Journal();
std::string Status();
// CPU start and size of a device's window; false when unknown.
bool Window(const std::string &dev, uint32_t *start, uint64_t *size, uint64_t *locked_blocks);
// Lines the kernel shim appended for the calls it answered.
std::vector<std::string> KernelLog();

// Scoped appliance for a test: Up in the constructor (throws
// std::runtime_error on failure), Down in the destructor.
class Appliance {
  public:
    explicit Appliance(const std::string &description, const std::string &dir = {});
    ~Appliance();
    Appliance(const Appliance &) = delete;
    Appliance &operator=(const Appliance &) = delete;

    std::vector<uint8_t> Chip() const { return ReadChip(); }
    bool Load(const std::vector<uint8_t> &bytes) const { return WriteChip(bytes); }
    bool Dump(const std::string &path) const;
    bool Fault(const std::string &line) const { return Control(line); }
    std::vector<JournalRec> Journal() const { return qsim::Journal(); }
    void ClearJournal() const { Control("clearjournal"); }
};

}  // namespace qsim
