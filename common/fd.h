// Owning wrappers for descriptors and directory streams: closed exactly once,
// on every path out of the scope that opened them.
#pragma once

#include <dirent.h>
#include <unistd.h>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

class DirHandle {
public:
    explicit DirHandle(const char* path) : dir_(::opendir(path)) {}
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;
    ~DirHandle() {
        if (dir_) ::closedir(dir_);
    }

    DIR* get() const { return dir_; }
    explicit operator bool() const { return dir_ != nullptr; }
    struct dirent* next() { return dir_ ? ::readdir(dir_) : nullptr; }

private:
    DIR* dir_;
};
