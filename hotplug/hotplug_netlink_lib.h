// Shell runner and process lookup shared by the device handlers.
#pragma once

#include <string_view>

// Runs `command` with /bin/sh -c in the caller's environment and waits for it.
// Returns 1 for a null command, -1 when fork or the wait fails, otherwise the
// raw wait status of the shell (0 = exit code 0, code n = n << 8).
int zorsystem(const char* command);

// Process id of the first process in /proc whose flattened command line
// contains `pattern`, or 0 when none does.
int find_pid_by_name(const char* pattern);

// Process id of the first process in /proc that runs `program` itself: the
// base name of its first command-line argument is exactly `program`. 0 when
// none does. Unlike find_pid_by_name, `cat /var/msghpplexd` is no plexd.
int find_pid_by_program(const char* program);
// The test behind it, on the raw bytes of a /proc/<pid>/cmdline.
bool hp_cmdline_program_is(std::string_view cmdline, std::string_view program);

// Joins the NUL-separated arguments in `buf` in place, with nothing between
// them; stops at the first empty argument. `buf` must hold two NUL bytes
// behind the data (the reader zero-fills a buffer one byte longer than it reads).
void flatten_cmdline(char* buf);
