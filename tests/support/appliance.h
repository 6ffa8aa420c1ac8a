// Test support inside the appliance root (see sim/appliance).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "slib_szlist.h"

namespace qtest {

// True inside an appliance root started by sim/appliance.
bool InAppliance();

// Whole-file helpers. ReadFile fails the current test when the file is missing.
std::string ReadFile(const std::string &path);
bool FileExists(const std::string &path);
void WriteFile(const std::string &path, const std::string &content, mode_t mode = 0644);
void RemoveFile(const std::string &path);
// The lines of text without their ends (a last line need not end).
std::vector<std::string> Lines(const std::string &text);

// One captured syslog message.
struct SyslogMsg {
    int priority;         // severity 0..7 (facility stripped)
    std::string ident;    // program tag
    std::string message;  // text after "ident[pid]: " or "ident: "
};
// Every message logged since the sandbox started (or since ClearSyslog).
std::vector<SyslogMsg> Syslog();
void ClearSyslog();
// True when a captured message contains the text (at the given priority, or any when -1).
bool SyslogHas(const std::string &text, int priority = -1);

// Calls of the stand-in programs: the program path followed by its arguments.
std::vector<std::vector<std::string>> Calls();
void ClearCalls();
// Exit status and standard output a stand-in program (by base name) gives.
void SetStandinStatus(const std::string &name, int status);
void SetStandinOutput(const std::string &name, const std::string &out);
// Installs the recording stand-in at a path (for programs a test adds).
void InstallStandin(const std::string &path);
// From now on this process's sleeps and time-outs pass at once and its
// clocks move on by the time skipped (the kernel shim's "time fast").
void FastTime();

// Real time, which fast time does not shorten. The shim fakes sleep, usleep,
// nanosleep, relative clock_nanosleep and poll (and so
// std::this_thread::sleep_for) and moves clock_gettime, gettimeofday and
// time on (and so std::chrono's clocks). These reach the kernel's monotonic
// clock by syscall(2), which the shim passes on for every call but the
// appliance kernel's own two.
// The kernel's monotonic clock.
std::chrono::nanoseconds RealClock();
// Sleeps for that long.
void RealSleep(std::chrono::nanoseconds time);
// Asks done, a step apart, until it answers true or limit has passed;
// returns its last answer (one asked once the limit had passed).
bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit,
               std::chrono::milliseconds step = std::chrono::milliseconds(10));

// Runs a program without a shell; returns its exit status (128 + signal when
// killed) and fills out with standard output when given.
int Exec(const std::vector<std::string> &argv, std::string *out = nullptr,
         const std::string &input = {});
// Runs a shell command line (test-side convenience only).
int Sh(const std::string &cmd, std::string *out = nullptr);
// What the shell gives for key after sourcing the key/value file path, as the
// appliance's scripts do: "<unset>" when the key is unset and "<failed>"
// when sourcing the file failed.
std::string SourcedKey(const std::string &path, const std::string &key);

// The items of a string list, in list order.
std::vector<std::string> Items(PSLIBSZLIST list);

// Source and build trees of the project.
std::string SourceDir();
std::string BuildDir();

}  // namespace qtest
