// Console lines written by the daemon's log calls while a ConsoleCapture
// lives: the console descriptor points at a scratch file, then goes back.
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <string>

#include "hotplug/hp_log.h"

class ConsoleCapture {
public:
    ConsoleCapture() : file_(tmpfile()), saved_(p_fd) { p_fd = fileno(file_); }
    ~ConsoleCapture() {
        p_fd = saved_;
        fclose(file_);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string text() const {
        std::string out;
        char buf[4096];
        ssize_t n;
        off_t off = 0;
        while ((n = pread(fileno(file_), buf, sizeof(buf), off)) > 0) {
            out.append(buf, (size_t)n);
            off += n;
        }
        return out;
    }

private:
    FILE* file_;
    int saved_;
};
