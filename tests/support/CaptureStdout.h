// Captures what the process writes on a standard stream (fd level), so that
// lines written with printf or by C libraries are seen.
#pragma once

#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace vbz_test {

class CaptureFd {
public:
    explicit CaptureFd(int fd) : fd_(fd) {
        std::fflush(nullptr);
        char name[] = "/tmp/vbz-capture-XXXXXX";
        tmp_ = mkstemp(name);
        unlink(name);
        saved_ = dup(fd_);
        dup2(tmp_, fd_);
    }
    ~CaptureFd() { restore(); if (tmp_ >= 0) close(tmp_); }
    std::string finish() {
        restore();
        std::string out;
        lseek(tmp_, 0, SEEK_SET);
        char buf[4096];
        ssize_t n;
        while ((n = read(tmp_, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }

private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(nullptr);
            dup2(saved_, fd_);
            close(saved_);
            saved_ = -1;
        }
    }
    int fd_;
    int tmp_ = -1;
    int saved_ = -1;
};

}  // namespace vbz_test
