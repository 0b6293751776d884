// Shell runner and process lookup (module hotplug_netlink_lib).
#include "hotplug/hotplug_netlink_lib.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/fd.h"
#include "hotplug/hp_log.h"

extern char** environ;

void flatten_cmdline(char* buf) {
    char* rd = buf;
    char* wr = buf;
    while (rd[0] != '\0' || rd[1] != '\0') {
        if (*rd != '\0') *wr++ = *rd;
        ++rd;
    }
    *wr = '\0';
}

namespace {

// Reads /proc/<name>/cmdline into `line` (zero-filled, 128 bytes, at most
// 126 bytes stored) and flattens it. False when the process has gone or its
// command line is empty.
bool read_flat_cmdline(const char* name, char (&line)[128]) {
    char path[128];
    memset(path, 0, sizeof(path));
    memset(line, 0, sizeof(line));
    if (snprintf(path, sizeof(path), "/proc/%s/cmdline", name) >= (int)sizeof(path)) return false;
    FILE* f = fopen(path, "r");
    if (!f) return false;
    char* got = fgets(line, sizeof(line) - 1, f);
    fclose(f);
    if (!got) return false;
    flatten_cmdline(line);
    return true;
}

// Scans /proc in directory order and gives the id of the first process
// whose command line `matches`, or 0. Both lookups share it, and with it the
// console line that says /proc cannot be read (its line number is part of
// its text).
template <typename Match>
int scan_proc(Match matches) {
    DirHandle dir("/proc");
    if (!dir) {
        HP_LOG_AT(56, HP_MOD_LIB, "dql:Cannot open /proc");
        return 0;
    }
    while (struct dirent* ent = dir.next()) {
        if (strcmp(ent->d_name, "..") == 0 || !isdigit((unsigned char)ent->d_name[0])) continue;
        if (matches(ent->d_name)) return (int)strtol(ent->d_name, nullptr, 0);
    }
    return 0;
}

}  // namespace

// The first process whose flattened command line contains `pattern` wins,
// whatever program it is. Command lines are compared on their first 126
// bytes only.
int find_pid_by_name(const char* pattern) {
    return scan_proc([pattern](const char* name) {
        char line[128];
        return read_flat_cmdline(name, line) && strstr(line, pattern) != nullptr;
    });
}

bool hp_cmdline_program_is(std::string_view cmdline, std::string_view program) {
    size_t end = cmdline.find('\0');
    std::string_view argv0(cmdline.data(), end == std::string_view::npos ? cmdline.size() : end);
    size_t slash = argv0.rfind('/');
    if (slash != std::string_view::npos) argv0.remove_prefix(slash + 1);
    return !program.empty() && argv0 == program;
}

int find_pid_by_program(const char* program) {
    return scan_proc([program](const char* name) {
        char path[64];
        if (snprintf(path, sizeof(path), "/proc/%s/cmdline", name) >= (int)sizeof(path)) return false;
        UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
        if (!fd.valid()) return false;  // the process has gone
        // The first argument is all that counts; a path longer than this
        // is no program of ours.
        char buf[256];
        ssize_t n = read(fd.get(), buf, sizeof(buf));
        return n > 0 && hp_cmdline_program_is(std::string_view(buf, (size_t)n), program);
    });
}

int zorsystem(const char* command) {
    if (!command) return 1;
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        char sh[] = "sh";
        char dash_c[] = "-c";
        char* argv[] = {sh, dash_c, const_cast<char*>(command), nullptr};
        execve("/bin/sh", argv, environ);
        _exit(127);
    }
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, 0) >= 0) return status;
        if (errno != EINTR) return -1;
    }
}
