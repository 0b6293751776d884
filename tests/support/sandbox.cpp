#include "tests/support/sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifdef PLUMBING_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace sandbox {

void exit_child(int code) {
#ifdef PLUMBING_COVERAGE
    __gcov_dump();
#endif
    ::_exit(code);
}

namespace {

// The sandbox's own scratch space: a tmpfs private to the sandbox.
const char kScratch[] = "/tmp/sandbox-scratch";

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void check(bool ok, const std::string& what) {
    if (!ok) fail(what);
}

void mkdir_p(const std::string& path) {
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        cur += "/" + part;
        if (::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir " + cur);
    }
}

void write_proc(const char* file, const char* text) {
    int fd = ::open(file, O_WRONLY);
    check(fd >= 0, std::string("open ") + file);
    bool ok = ::write(fd, text, std::strlen(text)) == (ssize_t)std::strlen(text);
    ::close(fd);
    check(ok, std::string("write ") + file);
}

void loopback_up() {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    check(s >= 0, "socket for lo");
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof(ifr));
    std::strcpy(ifr.ifr_name, "lo");
    bool ok = ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    ::close(s);
    check(ok, "bring lo up");
}

// Body of the process that is pid 1 of the sandbox's pid namespace.
[[noreturn]] void run_inner(const std::function<void()>& body) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A session of its own: when the process group the test runner was
    // started in is orphaned (its starting shell ends while the run goes
    // on in the background), the kernel sends SIGHUP to every process of
    // that group once one of them is stopped, and a daemon the body has
    // stopped on purpose would die of it.
    ::setsid();
    int code = 0;
    try {
        check(::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) == 0,
              "mount /proc");
        mkdir_p(kScratch);
        check(::mount("tmpfs", kScratch, "tmpfs", 0, "mode=755") == 0, "mount scratch tmpfs");
        loopback_up();
        body();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "sandbox: " << e.what();
    }
    if (::testing::Test::HasFailure()) code = 1;
    std::fflush(stdout);
    std::fflush(stderr);
    exit_child(code);
}

[[noreturn]] void run_middle(const std::function<void()>& body, const Options& opts) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    try {
        if (opts.user_ns) {
            check(::unshare(CLONE_NEWUSER) == 0, "unshare user namespace");
            // Root maps to root; from inside, the group map needs setgroups off.
            write_proc("/proc/self/uid_map", "0 0 1\n");
            write_proc("/proc/self/setgroups", "deny");
            write_proc("/proc/self/gid_map", "0 0 1\n");
        }
        check(::unshare(CLONE_NEWNS | CLONE_NEWNET | CLONE_NEWPID) == 0, "unshare");
        check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0,
              "make mounts private");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sandbox: %s\n", e.what());
        ::_exit(3);
    }
    pid_t inner = ::fork();
    if (inner < 0) ::_exit(3);
    if (inner == 0) run_inner(body);
    int status = 0;
    while (::waitpid(inner, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) ::_exit(WEXITSTATUS(status));
    std::fprintf(stderr, "sandbox: body died of signal %d\n", WTERMSIG(status));
    ::_exit(4);
}

}  // namespace

void run(const std::function<void()>& body, Options opts) {
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0) << "fork";
    if (pid == 0) run_middle(body, opts);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(opts.timeout_s);
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) break;
        if (r < 0 && errno != EINTR) {
            ADD_FAILURE() << "sandbox: lost the child";
            return;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            ADD_FAILURE() << "sandbox: body timed out after " << opts.timeout_s << " s";
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(status)) {
        int code = WEXITSTATUS(status);
        EXPECT_NE(code, 3) << "sandbox: could not set up the namespaces";
        EXPECT_NE(code, 4) << "sandbox: the body died of a signal";
        EXPECT_EQ(code, 0) << "sandbox: the body failed (see its output above)";
    } else {
        ADD_FAILURE() << "sandbox: killed by signal " << WTERMSIG(status);
    }
}

std::string bin(const std::string& name) { return std::string(PLUMBING_BIN_DIR) + "/" + name; }

void tmpfs(const std::string& path) {
    mkdir_p(path);
    check(::mount("tmpfs", path.c_str(), "tmpfs", 0, "mode=755") == 0, "mount tmpfs " + path);
}

void bind_file(const std::string& src, const std::string& target) {
    check(::mount(src.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0,
          "bind " + src + " over " + target);
}

void write_file(const std::string& path, const std::string& text) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    check(fd >= 0, "open " + path);
    bool ok = ::write(fd, text.data(), text.size()) == (ssize_t)text.size();
    ::close(fd);
    check(ok, "write " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool wait_until(const std::function<bool()>& pred, double seconds) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() > deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int sh(const std::string& cmd) {
    int st = std::system(cmd.c_str());
    if (st == -1 || !WIFEXITED(st)) return -1;
    return WEXITSTATUS(st);
}

// ---- Console ----

struct Console::Impl {
    int fd = -1;
    std::thread reader;
    std::atomic<bool> stop{false};
    mutable std::mutex mu;
    std::string text;
};

Console::Console() : impl_(std::make_unique<Impl>()) {
    struct stat st;
    if (::stat("/dev/console", &st) != 0 || !S_ISFIFO(st.st_mode)) {
        std::string fifo = std::string(kScratch) + "/console";
        if (::mkfifo(fifo.c_str(), 0666) != 0 && errno != EEXIST) fail("mkfifo " + fifo);
        bind_file(fifo, "/dev/console");
    }
    // Read-write, so the FIFO never reports end of file when writers come and go.
    impl_->fd = ::open("/dev/console", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    check(impl_->fd >= 0, "open console FIFO");
    Impl* im = impl_.get();
    im->reader = std::thread([im] {
        char buf[4096];
        while (!im->stop.load()) {
            struct pollfd p = {im->fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            ssize_t n = ::read(im->fd, buf, sizeof(buf));
            if (n > 0) {
                std::lock_guard<std::mutex> lock(im->mu);
                im->text.append(buf, static_cast<size_t>(n));
            }
        }
    });
}

Console::~Console() {
    impl_->stop = true;
    if (impl_->reader.joinable()) impl_->reader.join();
    if (impl_->fd >= 0) ::close(impl_->fd);
}

std::string Console::text() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->text;
}

std::vector<std::string> Console::lines() const {
    std::vector<std::string> out;
    std::stringstream ss(text());
    std::string line;
    while (std::getline(ss, line)) out.push_back(line);
    return out;
}

size_t Console::count(const std::string& needle) const {
    std::string t = text();
    size_t n = 0;
    for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + needle.size()))
        ++n;
    return n;
}

bool Console::wait_for(const std::string& needle, double seconds, size_t times) const {
    return wait_until([&] { return count(needle) >= times; }, seconds);
}

void Console::clear() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->text.clear();
}

// ---- /dev ----

void hide_dev(const std::map<std::string, dev_t>& blockdevs) {
    std::string staging = std::string(kScratch) + "/newdev";
    tmpfs(staging);
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"}) {
        std::string host = std::string("/dev/") + node;
        std::string mine = staging + "/" + node;
        write_file(mine, "");
        bind_file(host, mine);
    }
    for (const char* link : {"fd", "stdin", "stdout", "stderr"}) {
        std::string target = std::string("/proc/self/fd") +
                             (std::strcmp(link, "fd") == 0 ? "" : std::strcmp(link, "stdin") == 0 ? "/0"
                                                           : std::strcmp(link, "stdout") == 0 ? "/1"
                                                                                                : "/2");
        check(::symlink(target.c_str(), (staging + "/" + link).c_str()) == 0, "symlink dev link");
    }
    check(::mkfifo((staging + "/console").c_str(), 0666) == 0, "mkfifo console");
    for (const auto& [name, devno] : blockdevs) {
        std::string path = staging + "/" + name;
        check(::mknod(path.c_str(), S_IFBLK | 0660, devno) == 0, "mknod " + path);
    }
    check(::mount(staging.c_str(), "/dev", nullptr, MS_MOVE, nullptr) == 0, "move tmpfs over /dev");
}

void storage_world() {
    tmpfs("/var");
    tmpfs("/mnt");
    hide_dev();
    fake_proc_partitions({});
    fake_sys_block({});
    StandIns tools;
    for (const char* t : {"fuser", "killall", "kill"}) tools.add(t);
    tools.add("ntfs-3g", 1);
}

bool wait_childless(pid_t pid, double seconds) {
    auto has_child = [pid] {
        DIR* d = ::opendir("/proc");
        if (!d) return false;
        bool found = false;
        while (struct dirent* e = ::readdir(d)) {
            if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
            std::string stat = read_file(std::string("/proc/") + e->d_name + "/stat");
            size_t paren = stat.rfind(')');
            if (paren == std::string::npos) continue;
            // ") <state> <ppid> ..."
            std::istringstream ss(stat.substr(paren + 1));
            std::string state;
            long ppid = -1;
            ss >> state >> ppid;
            if (ppid == pid) {
                found = true;
                break;
            }
        }
        ::closedir(d);
        return found;
    };
    return wait_until([&] { return !has_child(); }, seconds);
}

// ---- stand-ins ----

StandIns::StandIns(const std::string& dir)
    : dir_(dir.empty() ? std::string(kScratch) + "/standins" : dir), log_(dir_ + "/calls.log") {
    mkdir_p(dir_);
    write_file(log_, "");
    const char* old = std::getenv("PATH");
    std::string path = dir_ + ":" + (old ? old : "/usr/sbin:/usr/bin:/sbin:/bin");
    ::setenv("PATH", path.c_str(), 1);
}

void StandIns::add(const std::string& name, int exit_code) {
    add_script(name, "exit " + std::to_string(exit_code));
}

void StandIns::add_script(const std::string& name, const std::string& body) {
    std::string file = dir_ + "/" + name;
    write_file(file, "#!/bin/sh\nprintf '%s\\n' \"" + name + " $*\" >> '" + log_ + "'\n" + body + "\n");
    check(::chmod(file.c_str(), 0755) == 0, "chmod " + file);
}

std::vector<std::string> StandIns::calls() const {
    std::vector<std::string> out;
    std::stringstream ss(read_file(log_));
    std::string line;
    while (std::getline(ss, line)) out.push_back(line);
    return out;
}

// ---- uevents ----

std::string uevent(const std::string& header, const std::vector<std::string>& keys) {
    std::string d = header;
    d.push_back('\0');
    for (const auto& k : keys) {
        d += k;
        d.push_back('\0');
    }
    return d;
}

UeventSender::UeventSender() : fd_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT)) {}

UeventSender::~UeventSender() {
    if (fd_ >= 0) ::close(fd_);
}

bool UeventSender::send(const std::string& bytes, int uid) {
    struct sockaddr_nl dst;
    std::memset(&dst, 0, sizeof(dst));
    dst.nl_family = AF_NETLINK;
    dst.nl_groups = 1;
    struct iovec iov = {const_cast<char*>(bytes.data()), bytes.size()};
    struct msghdr msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.msg_name = &dst;
    msg.msg_namelen = sizeof(dst);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct ucred))] = {};
    if (uid >= 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_CREDENTIALS;
        c->cmsg_len = CMSG_LEN(sizeof(struct ucred));
        struct ucred cred = {::getpid(), static_cast<uid_t>(uid), 0};
        std::memcpy(CMSG_DATA(c), &cred, sizeof(cred));
    }
    // The copy for the kernel's own socket may be refused; the broadcast to
    // group 1 has gone out all the same.
    return ::sendmsg(fd_, &msg, 0) >= 0 || errno == ECONNREFUSED || errno == EPERM || errno == EINVAL;
}

void send_uevent(const std::string& bytes, int uid) {
    UeventSender tx;
    check(tx.ok(), "uevent socket");
    check(tx.send(bytes, uid), "send uevent");
}

UeventListener::UeventListener() {
    fd_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    check(fd_ >= 0, "uevent listener socket");
    struct sockaddr_nl a;
    std::memset(&a, 0, sizeof(a));
    a.nl_family = AF_NETLINK;
    a.nl_groups = 1;
    check(::bind(fd_, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) == 0, "bind uevent listener");
    int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));
    struct timeval tv = {3, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

UeventListener::~UeventListener() { ::close(fd_); }

long UeventListener::receive(const std::string& want) {
    for (;;) {
        char buf[2048];
        alignas(struct cmsghdr) char ctl[CMSG_SPACE(sizeof(struct ucred))] = {};
        struct iovec iov = {buf, sizeof(buf)};
        struct msghdr m;
        std::memset(&m, 0, sizeof(m));
        m.msg_iov = &iov;
        m.msg_iovlen = 1;
        m.msg_control = ctl;
        m.msg_controllen = sizeof(ctl);
        ssize_t n = ::recvmsg(fd_, &m, 0);
        if (n < 0) return -1;
        if (std::string(buf, static_cast<size_t>(n)) != want) continue;
        struct cmsghdr* c = CMSG_FIRSTHDR(&m);
        if (!c || c->cmsg_type != SCM_CREDENTIALS) return -2;
        struct ucred cred;
        std::memcpy(&cred, CMSG_DATA(c), sizeof(cred));
        return cred.uid;
    }
}

// ---- loop images ----

LoopImage::LoopImage(const std::string& image_path, int size_mb, bool read_only,
                     const std::map<std::string, std::string>& files)
    : image_(image_path) {
    std::string content = image_path + ".d";
    mkdir_p(content);
    for (const auto& [name, data] : files) write_file(content + "/" + name, data);
    {
        int fd = ::open(image_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        check(fd >= 0, "create image");
        bool ok = ::ftruncate(fd, static_cast<off_t>(size_mb) * 1024 * 1024) == 0;
        ::close(fd);
        check(ok, "size image");
    }
    if (sh("mkfs.ext2 -q -F -d '" + content + "' '" + image_path + "' >/dev/null 2>&1") != 0) {
        errno = EIO;
        fail("mkfs.ext2 " + image_path);
    }
    int backing = ::open(image_path.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    check(backing >= 0, "open image");
    int ctl = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (ctl < 0) {
        ::close(backing);
        fail("open /dev/loop-control (attach loop images before hide_dev)");
    }
    for (int attempt = 0; attempt < 50 && fd_ < 0; ++attempt) {
        int n = ::ioctl(ctl, LOOP_CTL_GET_FREE);
        if (n < 0) break;
        std::string dev = "/dev/loop" + std::to_string(n);
        int lfd = -1;
        wait_until([&] { return (lfd = ::open(dev.c_str(), O_RDWR | O_CLOEXEC)) >= 0; }, 2);
        if (lfd < 0) continue;
        struct loop_config cfg;
        std::memset(&cfg, 0, sizeof(cfg));
        cfg.fd = static_cast<__u32>(backing);
        cfg.info.lo_flags = LO_FLAGS_AUTOCLEAR | (read_only ? LO_FLAGS_READ_ONLY : 0);
        if (::ioctl(lfd, LOOP_CONFIGURE, &cfg) == 0) {
            struct stat st;
            ::fstat(lfd, &st);
            devno_ = st.st_rdev;
            device_ = dev;
            fd_ = lfd;
        } else {
            ::close(lfd);  // taken by a test beside us: try the next free one
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ::close(ctl);
    ::close(backing);
    check(fd_ >= 0, "attach a loop device");
}

LoopImage::~LoopImage() {
    if (fd_ >= 0) {
        // Detaches now, or (while still mounted) as soon as the last user goes.
        ::ioctl(fd_, LOOP_CLR_FD, 0);
        ::close(fd_);
    }
}

int LoopImage::dev_major() const { return static_cast<int>(::major(devno_)); }
int LoopImage::dev_minor() const { return static_cast<int>(::minor(devno_)); }

// ---- /sys/block and /proc/partitions ----

void fake_sys_block(const std::vector<FakeDisk>& disks) {
    tmpfs("/sys/block");
    for (const auto& d : disks) {
        std::string rel;
        if (d.port > 0) {
            std::string p = std::to_string(d.port);
            rel = ".dev/platform/ehci-platform/usb1/1-" + p + "/1-" + p + ":1.0/host0/target0:0:0/0:0:0:0";
        } else {
            rel = ".dev/platform/ata/host0/target0:0:0/0:0:0:0";
        }
        rel += "-" + d.name;  // one device directory per disk
        mkdir_p("/sys/block/" + rel);
        mkdir_p("/sys/block/" + d.name);
        write_file("/sys/block/" + d.name + "/removable", std::to_string(d.removable) + "\n");
        std::string link = "/sys/block/" + d.name + "/device";
        check(::symlink(("../" + rel).c_str(), link.c_str()) == 0, "symlink " + link);
    }
}

void fake_proc_partitions(const std::vector<PartRow>& rows) {
    static bool bound = false;
    std::string file = std::string(kScratch) + "/partitions";
    std::string text = "major minor  #blocks  name\n\n";
    char line[160];
    for (const auto& r : rows) {
        std::snprintf(line, sizeof(line), "%4d %7d %10ld %s\n", r.major, r.minor, r.blocks, r.name.c_str());
        text += line;
    }
    write_file(file, text);
    if (!bound) {
        bind_file(file, "/proc/partitions");
        bound = true;
    }
}

void veth(const std::string& a, const std::string& b) {
    if (sh("ip link add '" + a + "' type veth peer name '" + b + "' && ip link set '" + a +
           "' up && ip link set '" + b + "' up") != 0) {
        errno = EIO;
        fail("make veth " + a + "/" + b);
    }
}

// ---- processes ----

Process::Process(const std::vector<std::string>& argv, const std::string& out_path) : out_(out_path) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::fflush(stdout);
    std::fflush(stderr);
    pid_ = ::fork();
    check(pid_ >= 0, "fork");
    if (pid_ == 0) {
        if (!out_path.empty()) {
            int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
                ::close(fd);
            }
        }
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
}

// SIGTERM first: route6mon and plexd end normally on it (and the coverage
// build's hotplug writes its counters); SIGKILL after 5 s.
Process::~Process() {
    if (pid_ > 0 && !reaped_) stop(SIGTERM, 5);
}

bool Process::alive() {
    if (reaped_) return false;
    int st;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = st;
        return false;
    }
    return r == 0;
}

int Process::wait_exit(double seconds) {
    if (!wait_until([&] { return !alive(); }, seconds)) return -1;
    return status_;
}

int Process::stop(int sig, double seconds) {
    if (!alive()) return status_;
    ::kill(pid_, sig);
    int st = wait_exit(seconds);
    if (st != -1 || reaped_) return status_;
    ::kill(pid_, SIGKILL);
    return wait_exit(5);
}

std::string Process::output() const { return out_.empty() ? "" : read_file(out_); }

std::unique_ptr<Process> start_plexd(bool hex, const std::string& out_path) {
    mkdir_p("/var/run");
    std::vector<std::string> argv = {bin("plexd")};
    if (hex) argv.push_back("--hex");
    auto p = std::make_unique<Process>(argv, out_path);
    // Ready once the socket accepts a connection (a stale socket file may
    // exist before plexd has replaced it).
    auto accepts = [] {
        int s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        struct sockaddr_un a;
        std::memset(&a, 0, sizeof(a));
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, "/var/run/obxmsg.sock", sizeof(a.sun_path) - 1);
        bool ok = ::connect(s, reinterpret_cast<struct sockaddr*>(&a), sizeof(a)) == 0;
        ::close(s);
        return ok;
    };
    if (!wait_until(accepts, 5)) {
        errno = ETIMEDOUT;
        fail("plexd did not create its socket");
    }
    return p;
}

NetlinkRow netlink_row(int proto, pid_t port) {
    std::ifstream in("/proc/net/netlink");
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string sk, groups;
        int p = -1;
        long portid = -1, rmem = -1, wmem, dump, locks, drops = -1;
        ls >> sk >> p >> portid >> groups >> rmem >> wmem >> dump >> locks >> drops;
        if (p == proto && portid == port) return {true, groups, rmem, drops};
    }
    return {};
}

long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

}  // namespace sandbox
