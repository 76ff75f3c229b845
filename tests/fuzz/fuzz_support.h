// SPDX-License-Identifier: GPL-3.0-or-later
// Small helpers shared by the fuzz targets: a check that stops the run with a message (libFuzzer
// then keeps the input), a fixed clock for the page footers, and scratch output streams.
#pragma once

#include "measure/fixed_clock.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <unistd.h>

// Fuzz targets run with NDEBUG-free checks of their own: a failed property is a finding just like a
// crash, and must stop the run whatever the build type.
#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)

namespace sondeco::fuzzing {

// An output that swallows everything, as a terminal nobody reads would. Opened once per process.
inline std::FILE* discardingOutput() {
    static std::FILE* const file = std::fopen("/dev/null", "w");
    return file;
}

// An output on which every write fails, like a pipe whose reader has gone away.
inline std::FILE* failingOutput() {
    static std::FILE* const file = std::fopen("/dev/null", "r");
    return file;
}

// A file of our own in /tmp for targets that need a real path, removed when the process ends.
class ScratchFile {
public:
    explicit ScratchFile(const char* prefix) : path_(std::string("/tmp/") + prefix + "-XXXXXX") {
        const int fd = mkstemp(path_.data());
        if (fd < 0) std::abort();
        close(fd);
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace sondeco::fuzzing
