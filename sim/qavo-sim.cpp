// qavo-sim: the simulated appliance hardware from the shell, inside the
// appliance root.
//   qavo-sim up FILE [DIR]         start what the description FILE asks for
//                                  (relative file names taken from DIR)
//   qavo-sim down                  stop it
//   qavo-sim dump FILE             write the whole chip to FILE
//   qavo-sim load FILE             load the whole chip from FILE (raw; its size
//                                  must be the chip's, else nothing is loaded)
//   qavo-sim journal | status      print the operation journal or the state
//   qavo-sim ctl LINE              a fault or state line (see sim/README.md)
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "qavosim.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr,
                "usage: qavo-sim up FILE | down | dump FILE | load FILE | journal | "
                "status | ctl LINE\n");
        return 2;
    }
    std::string cmd = argv[1];
    if (cmd == "up" && (argc == 3 || argc == 4)) {
        std::ifstream f(argv[2]);
        if (!f) {
            fprintf(stderr, "qavo-sim: cannot read %s\n", argv[2]);
            return 1;
        }
        std::stringstream ss;
        ss << f.rdbuf();
        std::string path = argv[2], dir = ".";
        if (auto p = path.rfind('/'); p != std::string::npos) dir = path.substr(0, p);
        if (argc == 4) dir = argv[3];
        std::string err;
        if (!qsim::Up(ss.str(), dir, &err)) {
            fprintf(stderr, "qavo-sim: %s\n", err.c_str());
            return 1;
        }
        return 0;
    }
    if (cmd == "down" && argc == 2) {
        qsim::Down();
        return 0;
    }
    if (cmd == "dump" && argc == 3) {
        auto b = qsim::ReadChip();
        std::ofstream out(argv[2], std::ios::binary);
        out.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
        return !b.empty() && out ? 0 : 1;
    }
    if (cmd == "load" && argc == 3) {
        // The file must be the whole chip: checked before anything is written.
        const uint64_t chip = qsim::ChipSize();
        if (chip == 0) {
            fprintf(stderr, "qavo-sim: no flash emulator is running\n");
            return 1;
        }
        std::ifstream in(argv[2], std::ios::binary);
        std::vector<uint8_t> b;
        bool read = static_cast<bool>(in);
        if (read) {
            b.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            read = !in.bad();
        }
        if (!read) {
            fprintf(stderr, "qavo-sim: cannot read %s: nothing loaded\n", argv[2]);
            return 1;
        }
        if (b.size() != chip) {
            fprintf(stderr, "qavo-sim: %s holds %zu bytes, the chip %llu: nothing loaded\n",
                    argv[2], b.size(), static_cast<unsigned long long>(chip));
            return 1;
        }
        if (!qsim::WriteChip(b)) {
            fprintf(stderr, "qavo-sim: loading %s failed\n", argv[2]);
            return 1;
        }
        return 0;
    }
    if (cmd == "journal" && argc == 2) {
        for (auto &j : qsim::Journal())
            printf("%s %s 0x%llx 0x%llx %lld\n", j.dev.c_str(), j.kind.c_str(),
                   static_cast<unsigned long long>(j.offset),
                   static_cast<unsigned long long>(j.length), static_cast<long long>(j.result));
        return 0;
    }
    if (cmd == "status" && argc == 2) {
        fputs(qsim::Status().c_str(), stdout);
        return 0;
    }
    if (cmd == "ctl" && argc >= 3) {
        std::string line;
        for (int i = 2; i < argc; ++i)
            line += std::string(i > 2 ? " " : "") + argv[i];
        if (!qsim::Control(line)) {
            fprintf(stderr, "qavo-sim: refused: %s\n", line.c_str());
            return 1;
        }
        return 0;
    }
    fprintf(stderr, "qavo-sim: bad arguments\n");
    return 2;
}
