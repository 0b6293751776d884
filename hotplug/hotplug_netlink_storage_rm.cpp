// Removal helpers of the storage pass: a file, device node or directory
// tree, and a device node under /var/dev.
//
// The tree walk works on directory descriptors (openat/unlinkat), never
// follows a symbolic link (the link itself is removed) and never enters a
// file system mounted inside the tree (that directory is left in place and
// reported), so nothing outside the tree it is given is ever deleted.

// 64-bit inode numbers and directory offsets on 32-bit targets too: readdir
// would otherwise end a walk early (EOVERFLOW) on a file system that hands
// out 64-bit offsets, leaving the tree half removed.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "common/fd.h"
#include "hotplug/hotplug_netlink_storage_list.h"
#include "hotplug/hotplug_netlink_storage_rm.h"
#include "hotplug/hp_log.h"

namespace {

// Path text of the entry at hand, for messages and the mount-table lookup.
// Sized so that a console line with it fits the log buffer; an entry whose
// path is longer is reported and left alone.
struct PathText {
    char buf[900];
    size_t len;
};

// True when the open directory `fd` is the root of a mount: its device
// differs from its parent's, or the kernel says so, or, on kernels that
// cannot tell, the mount table lists its path (a bind mount within one file
// system keeps the device number).
bool is_mount_root(int fd, const struct stat& st, dev_t parent_dev, const char* path) {
    return hp_mount_root(st.st_dev != parent_dev, hp_kernel_mount_root(fd), path);
}

int remove_entry(int dirfd, const char* name, dev_t parent_dev, PathText& p);

// Removes every entry of the open directory `fd`; the results of the
// entries are not examined.
void remove_contents(int fd, dev_t dev, PathText& p) {
    int walk_fd = dup(fd);
    if (walk_fd < 0) return;
    DIR* dir = fdopendir(walk_fd);
    if (!dir) {
        close(walk_fd);
        return;
    }
    size_t base = p.len;
    while (struct dirent* ent = readdir(dir)) {
        if (strcmp(ent->d_name, ".") == 0 || strcmp(ent->d_name, "..") == 0) continue;
        int n = snprintf(p.buf + base, sizeof(p.buf) - base, "/%s", ent->d_name);
        if (n < 0 || (size_t)n >= sizeof(p.buf) - base) {
            p.buf[base] = '\0';
            HP_LOG(HP_MOD_STORAGE, "delete failed:%s", p.buf);
            continue;
        }
        p.len = base + (size_t)n;
        remove_entry(fd, ent->d_name, dev, p);
        p.len = base;
        p.buf[base] = '\0';
    }
    closedir(dir);
}

// Removes the directory open as `fd` (path p, named `name` in `dirfd` or,
// with dirfd AT_FDCWD, the path itself) after its contents.
int remove_dir(int dirfd, const char* name, int fd, dev_t parent_dev, PathText& p) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        HP_LOG(HP_MOD_STORAGE, "open directory error");
        return -1;
    }
    if (is_mount_root(fd, st, parent_dev, p.buf)) {
        // A file system is still mounted here: neither its contents nor the
        // directory under it are touched.
        HP_LOG(HP_MOD_STORAGE, "rm dir failed:%s\n", p.buf);
        return -1;
    }
    remove_contents(fd, st.st_dev, p);
    if (unlinkat(dirfd, name, AT_REMOVEDIR) != 0) {
        HP_LOG(HP_MOD_STORAGE, "rm dir failed:%s\n", p.buf);
        return -1;
    }
    return 0;
}

int unlink_entry(int dirfd, const char* name, const PathText& p) {
    if (unlinkat(dirfd, name, 0) == 0 || errno == ENOENT) return 0;
    HP_LOG(HP_MOD_STORAGE, "delete failed:%s", p.buf);
    return -1;
}

int remove_entry(int dirfd, const char* name, dev_t parent_dev, PathText& p) {
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) return 0;
        HP_LOG(HP_MOD_STORAGE, "delete failed:%s", p.buf);
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) return unlink_entry(dirfd, name, p);
    UniqueFd fd(openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        // Replaced by a link or a file since it was examined: remove that.
        if (errno == ELOOP || errno == ENOTDIR) return unlink_entry(dirfd, name, p);
        if (errno == ENOENT) return 0;
        HP_LOG(HP_MOD_STORAGE, "open directory error");
        return -1;
    }
    return remove_dir(dirfd, name, fd.get(), parent_dev, p);
}

}  // namespace

// Asked through the system call itself: every C library has syscall() and
// SYS_statx, but not every one has a statx() wrapper (musl before 1.2.5 has
// none), and <linux/stat.h>'s struct statx clashes with a C library's own.
// The buffer has the kernel's layout of struct statx (256 bytes, fixed by the
// system call's ABI): stx_attributes at byte 8, stx_attributes_mask at 56.
int hp_kernel_mount_root(int fd) {
    constexpr unsigned kStatxType = 0x1;          // STATX_TYPE: the least to ask for
    constexpr uint64_t kAttrMountRoot = 0x2000;   // STATX_ATTR_MOUNT_ROOT (Linux 5.8)
    uint64_t sx[32] = {};
    if (syscall(SYS_statx, fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, kStatxType, sx) != 0) return -1;
    const uint64_t attributes = sx[1], attributes_mask = sx[7];
    if (!(attributes_mask & kAttrMountRoot)) return -1;
    return (attributes & kAttrMountRoot) != 0 ? 1 : 0;
}

bool hp_mount_root(bool other_device, int kernel_answer, const char* path) {
    if (other_device) return true;
    if (kernel_answer >= 0) return kernel_answer != 0;
    if (!path || path[0] != '/') return false;
    FILE* f = fopen("/proc/mounts", "r");
    if (!f) return false;
    bool listed = hp_mounts_list_dir(f, path);
    fclose(f);
    return listed;
}

int hp_remove_path(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0) return 0;  // nothing there
    PathText p;
    int n = snprintf(p.buf, sizeof(p.buf), "%s", path);
    if (n < 0 || (size_t)n >= sizeof(p.buf)) {
        HP_LOG(HP_MOD_STORAGE, "delete failed:%s", p.buf);
        return -1;
    }
    p.len = (size_t)n;

    if (!S_ISDIR(st.st_mode)) return unlink_entry(AT_FDCWD, path, p);
    UniqueFd fd(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == ELOOP || errno == ENOTDIR) return unlink_entry(AT_FDCWD, path, p);
        if (errno == ENOENT) return 0;
        HP_LOG(HP_MOD_STORAGE, "open directory error");
        return -1;
    }
    // The device of the directory that holds it: ".." of a mount root lies
    // in the file system it is mounted on.
    dev_t parent_dev = st.st_dev;
    UniqueFd parent(openat(fd.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat pst;
    if (parent.valid() && fstat(parent.get(), &pst) == 0) parent_dev = pst.st_dev;
    return remove_dir(AT_FDCWD, path, fd.get(), parent_dev, p);
}

int hp_remove_dev_node(const char* path) {
    // Only nodes the pass made itself; a ".." step could lead out of /var/dev.
    if (!strstr(path, "/var/dev") || strstr(path, "/../") ||
        (strlen(path) >= 3 && strcmp(path + strlen(path) - 3, "/..") == 0))
        return 0;
    hp_remove_path(path);  // nothing happens when it does not exist
    return 0;
}
