// Helpers shared by the domain membership and the domain join. Internal to
// the library.
#pragma once

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "slib_errcode.h"
#include "slib_proc.h"
#include "slib_util.h"

namespace qwin {

// Where a tool's output goes when it is collected.
enum class Stream { kOut, kErr, kBoth };

// Runs a program without a shell, input (a secret, or null) on its standard
// input, and collects what it prints on the chosen streams through an
// unnamed temporary file. The exit status, or -1 when it could not run or
// died.
inline int Run(const char *const *argv, const char *input, Stream which, std::string *out,
               int timeout = 120) {
    if (out) out->clear();
    if (!out) return SLIBProcExecWaitIO(argv, input, -1, -1, timeout);
    char name[] = "/tmp/.qavo-winXXXXXX";
    const int fd = mkostemp(name, O_CLOEXEC);
    if (fd < 0) {
        SLIBErrSet(ERR_CREATE_FAILED);
        return -1;
    }
    unlink(name);
    const int status = SLIBProcExecWaitIO(argv, input, which == Stream::kErr ? -1 : fd,
                                          which == Stream::kOut ? -1 : fd, timeout);
    if (lseek(fd, 0, SEEK_SET) == 0) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0) out->append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return status;
}

// Runs a program without a shell, its standard output into a file created
// anew (mode 0644). The exit status, or -1.
inline int RunToFile(const char *const *argv, const char *path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        SLIBErrSet(ERR_OPEN_FAILED);
        return -1;
    }
    const int status = SLIBProcExecWaitIO(argv, nullptr, fd, -1, 120);
    close(fd);
    return status;
}

// A name handed to a tool as an argument: one starting with '-' would be
// read as an option.
inline bool OptionLike(const char *s) {
    return s && s[0] == '-';
}

// A text a domain, realm or workgroup name may be: not empty, no control
// byte, blank, brace or any of the workgroup's refused characters, so that
// it can stand as one value in smb.conf and krb5.conf; no leading '#' (a
// comment there) and no leading '-' (an option to the tools it is given to).
inline bool SafeDomainText(const char *s) {
    if (!s || !*s || *s == '#' || OptionLike(s)) return false;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
        if (*p < 0x20 || *p == 0x7F || *p == ' ') return false;
        if (strchr("{};=\"><*+:\\|?,[]/'`$", *p)) return false;
    }
    return true;
}

// A line without its line end ("\n", "\r\n" or none).
inline std::string_view Chomp(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    return line;
}

// The names of a domain list file (domain_user, domain_group), one a line
// as the winbind listing prints them: lines holding '$' (machine accounts)
// and empty lines left out, the line end (LF, CR, trailing blanks and tabs)
// stripped, a last line without its end taken whole, a name cut at a NUL. False with 0x0900 or
// 0x0A00 when the file cannot be read (0x0200 out of memory).
inline bool ReadNameList(const char *path, std::vector<std::string> &names) {
    slib::FilePtr fp(fopen(path, "re"));
    if (!fp) {
        SLIBLog(LOG_ERR, "%s(%d): open %s fail", __func__, __LINE__, path);
        SLIBErrSet(ERR_OPEN_FAILED);
        return false;
    }
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    bool ok = true;
    try {
        while ((n = getline(&line, &cap, fp.get())) > 0) {
            // A name is a text: a NUL byte ends it.
            std::string name(line, strnlen(line, static_cast<size_t>(n)));
            while (!name.empty() && (name.back() == '\n' || name.back() == '\r' ||
                                     name.back() == ' ' || name.back() == '\t'))
                name.pop_back();
            if (name.empty() || name.find('$') != std::string::npos) continue;
            names.push_back(std::move(name));
        }
    } catch (const std::bad_alloc &) {
        free(line);
        SLIBErrSet(ERR_OUT_OF_MEMORY);
        return false;
    }
    if (ferror(fp.get())) {
        SLIBErrSet(ERR_READ_FAILED);
        ok = false;
    }
    free(line);
    return ok;
}

}  // namespace qwin
