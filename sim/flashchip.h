// The simulated appliance: its description and the NOR chip (or M-Systems
// module) behind the MTD devices. Used by the FUSE daemon, the set-up tool
// and the tests' API; never by the product.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qsim {

// One partition of the flash directory laid at power-up (device order).
struct PartDesc {
    std::string name;
    uint32_t base = 0;  // CPU address
    uint32_t size = 0;
    uint32_t datalen = 0;
};

// A parsed appliance description (see sim/README.md).
struct Config {
    bool flash = false;           // an emulated chip is wanted
    std::string edition;          // "full" or "pomlet" (empty: none named)
    uint32_t base = 0;            // CPU address of the chip
    uint32_t size = 0;            // chip size in bytes
    uint32_t erase = 0;           // erase-block size
    std::vector<PartDesc> parts;  // mtd0.. in order
    std::string vendor_part;      // partition /dev/mtd_vender stands for
    std::string image;            // whole-chip image loaded at power-up
    std::vector<std::pair<std::string, std::string>> files;  // device, file
    // Devices (or "all") whose blocks are locked at power-up; a NOR chip
    // without a lock line powers up with every block locked.
    std::vector<std::string> locked;
    bool lock_given = false;
    bool strict = false;
    bool msys = false;
    std::array<uint32_t, 8> msys_units{};  // partition sizes in units
    std::vector<std::string> controls;     // fault lines applied at start
    std::vector<std::string> kernel;       // lines of the kernel shim's settings
    bool hw_version_set = false;
    std::string hw_version;  // first line of /proc/sys/kernel/qavo_hw_version
    bool serial_set = false;
    std::string serial;  // /proc/sys/kernel/qavo_serial
};

// Parses a description; relative file names are taken from dir.
bool ParseDescription(const std::string &text, const std::string &dir, Config *cfg,
                      std::string *err);

// Builds one 256-byte flash-directory entry.
std::vector<uint8_t> FisEntry(const std::string &name, uint32_t flash_base, uint32_t size,
                              uint32_t data_length, uint32_t mem_base = 0);

struct JournalRec {
    std::string dev;
    std::string kind;
    uint64_t offset = 0;
    uint64_t length = 0;
    int64_t result = 0;  // bytes or 0; a negative errno on failure
};

class Chip {
  public:
    bool Init(const Config &cfg, std::string *err);

    // Device operations; each is journaled. Results: bytes (read, write), 0
    // (ioctl), or a negative errno.
    int64_t Read(const std::string &dev, uint64_t off, uint8_t *buf, size_t len);
    int64_t Write(const std::string &dev, uint64_t off, const uint8_t *buf, size_t len);
    int Ioctl(const std::string &dev, unsigned cmd, const void *in, size_t in_len, void *out,
              size_t out_len);
    void NoteTruncate(const std::string &dev);
    // The process that asked for the operation about to come (the daemon
    // sets it from the request); `kill` lines act on it.
    void SetCaller(int pid) { caller_ = pid; }

    // A control line (faults, journal, raw lock state); 0 or -EINVAL.
    int Control(const std::string &line);

    bool HasDevice(const std::string &dev) const;
    uint64_t DeviceSize(const std::string &dev) const;
    std::vector<std::string> Devices() const;

    std::vector<uint8_t> &Bytes() { return bytes_; }
    bool Frozen() const { return frozen_; }
    std::string JournalText() const;
    std::string StatusText() const;

  private:
    struct Window {
        std::string dev;
        uint64_t start = 0;  // offset in the chip
        uint64_t size = 0;
    };
    struct Fault {
        std::string kind;  // operation kind, or "ioctl" for every request
        std::string dev;   // device or "any"
        uint64_t nth = 1;
        bool always = false;
        int err = 5;  // EIO
        uint64_t seen = 0;
        bool spent = false;
    };
    struct Flip {
        std::string dev;
        uint64_t offset = 0;
        bool always = false;
        bool spent = false;
    };

    Window *Find(const std::string &dev);
    const Window *Find(const std::string &dev) const;
    int CheckFault(const std::string &dev, const std::string &kind);
    void Log(const std::string &dev, const std::string &kind, uint64_t off, uint64_t len,
             int64_t res);
    int Range(const Window &w, uint32_t start, uint32_t len, bool aligned) const;
    void LayMsysWindows();
    int DoIoctl(Window &w, const std::string &kind, unsigned cmd, const void *in, void *out);
    // Counts one chip-changing operation against the `cut` and `kill` lines:
    // 0 to go on, 1 when this one is torn by the power cut, or -EIO when the
    // caller was killed before it.
    int Interrupt();

    uint32_t base_ = 0;
    uint32_t erase_ = 0;
    std::vector<uint8_t> bytes_;
    std::vector<uint8_t> locked_;  // per erase block
    std::vector<Window> windows_;
    std::string vendor_of_;
    bool strict_ = false;
    bool msys_ = false;
    std::array<uint32_t, 8> msys_units_{};
    std::array<uint32_t, 8> msys_datalen_{};
    std::vector<Fault> faults_;
    std::vector<Flip> flips_;
    bool powercut_armed_ = false;
    uint64_t powercut_left_ = 0;
    bool frozen_ = false;
    // The state a power cycle returns to (the `powerup` line).
    std::vector<Window> power_windows_;
    std::vector<uint8_t> power_locked_;
    std::array<uint32_t, 8> power_units_{}, power_datalen_{};
    uint64_t cut_left_ = 0;   // chip-changing operations before the torn one
    uint64_t kill_left_ = 0;  // the same for the kill; 0: none armed
    std::string kill_prog_;
    int caller_ = 0;
    std::vector<JournalRec> journal_;
};

}  // namespace qsim
