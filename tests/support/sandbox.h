// The sandbox every integration test runs in: a forked process inside fresh
// mount, network and pid namespaces, with helpers to lay overlays, capture
// the console, put logging stand-ins on PATH, inject uevents, attach ext2
// images to loop devices, make veth links and run processes.
//
// Typical use:
//   TEST(Hotplug, Something) {
//       SANDBOX_REQUIRE_ROOT();
//       sandbox::run([] {
//           sandbox::storage_world();              // hotplug runs a storage pass at start
//           sandbox::Console console;              // FIFO over /dev/console
//           sandbox::Process hp({sandbox::bin("hotplug")});
//           sandbox::send_uevent(sandbox::uevent("add@/devices/x", {"SUBSYSTEM=block"}));
//           EXPECT_TRUE(console.wait_for("SUBSYSTEM=block", 5));
//       });
//   }
// GoogleTest assertions work inside the body: the child prints its failures
// and the calling test fails with it. Everything started inside the body dies
// with the pid namespace when the body returns.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#define SANDBOX_REQUIRE_ROOT()                                                   \
    do {                                                                         \
        if (::geteuid() != 0) GTEST_SKIP() << "needs root (namespaces, mounts)"; \
    } while (0)

namespace sandbox {

struct Options {
    // Make the network namespace inside a child user namespace with root
    // mapped to root: no kernel uevent reaches it (only injected ones), but
    // block devices cannot be mounted and SO_RCVBUFFORCE fails there.
    bool user_ns = false;
    // Give up on the body after this many seconds (it is then killed and the
    // test fails).
    int timeout_s = 300;
};

// Runs `body` in a forked child inside new mount, network and pid
// namespaces (mount propagation private, loopback up, /proc remounted for
// the new pid namespace). Fails the calling test when the body fails, dies
// or times out.
void run(const std::function<void()>& body, Options opts = {});

// Ends a forked child of a test like _exit(code): no exit handlers or
// destructors of the parent's copy run. In the coverage build it first
// writes the child's gcov counters, which _exit would lose.
[[noreturn]] void exit_child(int code);

// Path of a built program: bin("hotplug") is <build>/bin/hotplug.
std::string bin(const std::string& name);

// Mounts a fresh tmpfs at `path` (created when missing).
void tmpfs(const std::string& path);

// Binds the file `src` over the existing file `target`.
void bind_file(const std::string& src, const std::string& target);

// Writes `text` to `path` in place (truncate and write, so a bind mount of
// the file sees the new content).
void write_file(const std::string& path, const std::string& text);
std::string read_file(const std::string& path);  // "" when missing
bool exists(const std::string& path);

// Polls `pred` every 10 ms until it holds or `seconds` pass.
bool wait_until(const std::function<bool()>& pred, double seconds);

// Runs a /bin/sh command line; returns its exit code (-1 when it died).
int sh(const std::string& cmd);

// A FIFO bound over /dev/console, drained by a thread into memory, so that
// every open of the console (descriptor or stdio "w") reaches the test.
// Destroy it before the processes that write to it are gone is fine.
class Console {
public:
    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    std::string text() const;                  // everything read so far
    std::vector<std::string> lines() const;    // text() split at '\n'
    size_t count(const std::string& needle) const;
    bool wait_for(const std::string& needle, double seconds, size_t times = 1) const;
    void clear();                              // forget what was read so far

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Hides the machine's block devices: a tmpfs over /dev holding only null,
// zero, console (a FIFO, for Console), and a node per entry of `blockdevs`
// (name -> device number), so that the device of every foreign mount fails
// stat. Call before Console.
void hide_dev(const std::map<std::string, dev_t>& blockdevs = {});

// The storage pass's world for a body that starts hotplug but plays no disk.
// hotplug runs a storage pass as soon as it listens (and again for every
// block add and usb remove), and no pass may ever see this machine's disks,
// /mnt or tools: this lays tmpfs over /var and /mnt, hides the machine's
// block devices (hide_dev), binds an empty table over /proc/partitions,
// lays an empty /sys/block, and puts logging stand-ins for fuser, killall,
// kill and ntfs-3g first on PATH (in the default stand-in directory, so a
// StandIns made later adds to them). Call it first, before Console.
void storage_world();

// Waits until `pid` has no child process left (its handler children have
// ended and been reaped); false when one is still there after `seconds`.
bool wait_childless(pid_t pid, double seconds);

// Logging stand-ins for external tools in their own directory, first on
// PATH (of this process, so of everything started from it).
class StandIns {
public:
    // `dir` defaults to a directory inside the sandbox's own tmpfs.
    explicit StandIns(const std::string& dir = "");
    // A tool that appends "<name> <args joined by one blank>" to the log and
    // exits with `exit_code`.
    void add(const std::string& name, int exit_code = 0);
    // A tool with its own shell body (the log line is still written first).
    void add_script(const std::string& name, const std::string& body);
    std::vector<std::string> calls() const;  // log lines in order
    std::string log_path() const { return log_; }

private:
    std::string dir_, log_;
};

// A uevent datagram: "header\0" then each "KEY=VALUE\0".
std::string uevent(const std::string& header, const std::vector<std::string>& keys);

// Sends uevent datagrams to netlink multicast group 1 of this network
// namespace through one socket (for bursts); uid >= 0 attaches
// SCM_CREDENTIALS with that uid (pid is ours, gid 0), otherwise the kernel
// attaches our own credentials.
class UeventSender {
public:
    UeventSender();
    ~UeventSender();
    UeventSender(const UeventSender&) = delete;
    UeventSender& operator=(const UeventSender&) = delete;
    bool ok() const { return fd_ >= 0; }
    // False (errno set) when the datagram did not go out.
    bool send(const std::string& bytes, int uid = -1);

private:
    int fd_ = -1;
};
// One datagram through a UeventSender of its own; fails the test when it
// does not go out.
void send_uevent(const std::string& bytes, int uid = -1);

// A listener on uevent group 1 in this network namespace, sender
// credentials on.
class UeventListener {
public:
    UeventListener();
    ~UeventListener();
    UeventListener(const UeventListener&) = delete;
    UeventListener& operator=(const UeventListener&) = delete;
    // Waits up to 3 s for a datagram equal to `want` (others, such as kernel
    // events, are passed over) and gives its sender uid; -1 when none came,
    // -2 when it came without credentials.
    long receive(const std::string& want);

private:
    int fd_ = -1;
};

// An ext2 file system image attached to a free loop device (read-only when
// asked); detached in the destructor, and auto-cleared by the kernel should
// the test die. Attach before hide_dev and pass device_number() to it.
class LoopImage {
public:
    // `files`: name -> content written into the file system's root.
    LoopImage(const std::string& image_path, int size_mb, bool read_only = false,
              const std::map<std::string, std::string>& files = {});
    ~LoopImage();
    LoopImage(const LoopImage&) = delete;
    LoopImage& operator=(const LoopImage&) = delete;

    const std::string& device() const { return device_; }  // /dev/loopN
    dev_t device_number() const { return devno_; }
    int dev_major() const;
    int dev_minor() const;

private:
    std::string image_, device_;
    dev_t devno_ = 0;
    int fd_ = -1;
};

// A fake USB disk in a tmpfs over /sys/block: /sys/block/<name>/removable
// holds `removable`, and /sys/block/<name>/device is a symbolic link to a
// directory that resolves to .../usb1/1-<port>/1-<port>:1.0/host0/... (or,
// with port 0, to a path without "usb").
struct FakeDisk {
    std::string name;
    int port = 1;
    int removable = 1;
};
void fake_sys_block(const std::vector<FakeDisk>& disks);

// A /proc/partitions row, and the text bound over /proc/partitions (call
// again to change it; the first call makes the bind).
struct PartRow {
    int major, minor;
    long blocks;
    std::string name;
};
void fake_proc_partitions(const std::vector<PartRow>& rows);

// A veth pair in this network namespace, both ends up.
void veth(const std::string& a, const std::string& b);

// A process started with fork and exec; stdout and stderr go to `out_path`
// (or are inherited when empty). Ended in the destructor if still running:
// SIGTERM, on which the daemons end (route6mon and plexd normally), then
// SIGKILL after 5 s.
class Process {
public:
    explicit Process(const std::vector<std::string>& argv, const std::string& out_path = "");
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    bool alive();
    // Sends `sig`, waits up to `seconds` for the end, then SIGKILL.
    // Returns the wait status (or -1 when it could not be reaped).
    int stop(int sig = SIGTERM, double seconds = 5);
    // Waits up to `seconds` for the end without signalling; -1 on time-out.
    int wait_exit(double seconds);
    std::string output() const;  // content of out_path so far

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::string out_;
};

// Starts build/bin/plexd (readable or --hex) and waits until its socket
// under /var/run accepts connections (the caller lays the tmpfs over /var).
// Its output goes to `out_path` (lay a tmpfs over /run for the default).
std::unique_ptr<Process> start_plexd(bool hex, const std::string& out_path = "/run/plexd.out");

// The row of /proc/net/netlink for the socket of protocol `proto` bound to
// port `port` in this network namespace: its multicast groups (hex text),
// the bytes waiting in its receive queue and its drop counter; found is
// false when there is no such socket.
struct NetlinkRow {
    bool found = false;
    std::string groups;
    long rmem = -1, drops = -1;
};
NetlinkRow netlink_row(int proto, pid_t port);

// Resident set size of a process in KiB (from /proc/<pid>/status), -1 if gone.
long rss_kib(pid_t pid);

}  // namespace sandbox
