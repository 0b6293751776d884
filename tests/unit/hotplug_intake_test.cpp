// Datagram checks, key lookup, queue admission and supervision, and the
// SIGCHLD reaper of hotplug, driven directly (no socket, no root).
#include "hotplug/hotplug_netlink_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "hotplug/hp_log.h"

namespace {

std::string uevent(const std::string& header, const std::vector<std::string>& keys) {
    std::string s = header;
    s.push_back('\0');
    for (const auto& k : keys) {
        s += k;
        s.push_back('\0');
    }
    return s;
}

// A control buffer as the kernel fills it: one SCM_CREDENTIALS message.
struct Creds {
    size_t len;
    union {
        struct cmsghdr align;
        char buf[CMSG_SPACE(sizeof(struct ucred))];
    } u;
    explicit Creds(uid_t uid, int type = SCM_CREDENTIALS, int level = SOL_SOCKET) {
        memset(&u, 0, sizeof(u));
        struct cmsghdr* c = &u.align;
        c->cmsg_len = CMSG_LEN(sizeof(struct ucred));
        c->cmsg_level = level;
        c->cmsg_type = type;
        struct ucred cr = {1234, uid, 0};
        memcpy(CMSG_DATA(c), &cr, sizeof(cr));
        len = CMSG_LEN(sizeof(struct ucred));
    }
};

hp_rcv_verdict check(const std::string& bytes, long rcvd, const Creds& cr, int* uid = nullptr) {
    char buf[HP_PKG_MSG_SIZE] = {};
    memcpy(buf, bytes.data(), std::min(bytes.size(), sizeof(buf)));
    return hp_check_datagram(buf, sizeof(buf), rcvd, cr.u.buf, cr.len, uid);
}

hp_rcv_verdict check(const std::string& bytes, const Creds& cr = Creds(0)) {
    return check(bytes, (long)bytes.size(), cr);
}

std::string padded(size_t total) {
    std::string s = uevent("add@/devices/x", {"SUBSYSTEM=block"});
    std::string pad = "PAD=";
    while (s.size() + pad.size() + 1 < total) pad.push_back('x');
    s += pad;
    s.push_back('\0');
    s.resize(total, 'y');
    return s;
}

TEST(DatagramCheck, LengthWindowIs32To399) {
    std::string base = padded(32);
    EXPECT_EQ(check(base, 31, Creds(0)), HP_RCV_BAD_LENGTH);
    EXPECT_EQ(check(base, 32, Creds(0)), HP_RCV_ACCEPT);
    EXPECT_EQ(check(padded(399)), HP_RCV_ACCEPT);
    EXPECT_EQ(check(padded(400), 400, Creds(0)), HP_RCV_BAD_LENGTH);
    EXPECT_EQ(check(padded(400), 600, Creds(0)), HP_RCV_BAD_LENGTH);
    EXPECT_EQ(check(base, -1, Creds(0)), HP_RCV_BAD_LENGTH);
    EXPECT_EQ(check(base, 0, Creds(0)), HP_RCV_BAD_LENGTH);
}

TEST(DatagramCheck, CredentialsMustComeFirstAndBeRoot) {
    std::string d = padded(64);
    char buf[HP_PKG_MSG_SIZE] = {};
    memcpy(buf, d.data(), d.size());
    // No control data at all, or less than a header's worth.
    EXPECT_EQ(hp_check_datagram(buf, sizeof(buf), 64, nullptr, 0, nullptr), HP_RCV_NO_CREDS);
    Creds root(0);
    EXPECT_EQ(hp_check_datagram(buf, sizeof(buf), 64, root.u.buf, sizeof(struct cmsghdr) - 1, nullptr),
              HP_RCV_NO_CREDS);
    // A message header that claims less than the credentials it should carry.
    Creds shortlen(0);
    shortlen.u.align.cmsg_len = CMSG_LEN(4);
    EXPECT_EQ(check(d, 64, shortlen), HP_RCV_NO_CREDS);
    EXPECT_EQ(check(d, 64, Creds(0, SCM_RIGHTS)), HP_RCV_NO_CREDS);
    // The level is not looked at.
    EXPECT_EQ(check(d, 64, Creds(0, SCM_CREDENTIALS, 99)), HP_RCV_ACCEPT);
    int uid = -5;
    EXPECT_EQ(check(d, 64, Creds(1000), &uid), HP_RCV_BAD_UID);
    EXPECT_EQ(uid, 1000);
}

TEST(DatagramCheck, HeaderRules) {
    // Three characters: too short, reported as a length problem, not a bad header.
    EXPECT_EQ(check(uevent("a@/", {"SUBSYSTEM=block", "DEVPATH=/devices/xxxxxxxx"})),
              HP_RCV_BAD_HEADER_LEN);
    // Four characters is enough.
    EXPECT_EQ(check(uevent("a@/x", {"SUBSYSTEM=block", "DEVPATH=/devices/xxxxxxx"})), HP_RCV_ACCEPT);
    // The header's NUL is the datagram's last byte: nothing follows it.
    std::string only = uevent("add@/devices/virtual/block/loop0/and/some/more", {});
    EXPECT_EQ(check(only), HP_RCV_BAD_HEADER_LEN);
    // No NUL anywhere: the header fills the datagram.
    EXPECT_EQ(check(std::string(40, 'a')), HP_RCV_BAD_HEADER_LEN);
    // A plain word without a device path.
    EXPECT_EQ(check(uevent("libudev", {"SUBSYSTEM=block", "DEVPATH=/devices/x/y/z"})),
              HP_RCV_BAD_HEADER);
    // "@/" must lie in the header, not in a later string.
    EXPECT_EQ(check(uevent("add-devices", {"X=a@/b", "SUBSYSTEM=block", "DEVPATH=/x"})),
              HP_RCV_BAD_HEADER);
}

TEST(KeyLookup, KeyMustBeFollowedByEquals) {
    std::string d = uevent("add@/devices/x", {"DEVPATHX=wrong", "DEVPATH", "DEVPATH=/right",
                                              "DEVPATH=/later", "ACTION=", "PRODUCT=4b8/1/2"});
    auto val = [&](const char* k) -> std::string {
        long off = hp_find_var(d.data(), d.size(), k);
        return off < 0 ? "<none>" : std::string(d.data() + off);
    };
    EXPECT_EQ(val("DEVPATH"), "/right");
    EXPECT_EQ(val("ACTION"), "");
    EXPECT_EQ(val("PRODUCT"), "4b8/1/2");
    EXPECT_EQ(val("INTERFACE"), "<none>");
    EXPECT_EQ(val("DEV"), "<none>");
    // A string equal to the key with no "=" gives nothing.
    std::string bare = uevent("add@/x", {"DEVPATH"});
    EXPECT_LT(hp_find_var(bare.data(), bare.size(), "DEVPATH"), 0);
}

TEST(KeyLookup, OnlyTheGivenLengthIsWalked) {
    std::string d = uevent("add@/x", {"A=1", "B=2"});
    // B lies beyond the length handed over.
    EXPECT_LT(hp_find_var(d.data(), 11, "B"), 0);
    EXPECT_EQ(hp_find_var(d.data(), d.size(), "B"), (long)d.size() - 2);
}

// Bytes placed right before a page that may not be touched, so any read
// past the end faults.
struct Guarded {
    char* base;
    size_t page;
    Guarded() {
        page = (size_t)sysconf(_SC_PAGESIZE);
        base = (char*)mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        mprotect(base + page, page, PROT_NONE);
    }
    ~Guarded() { munmap(base, 2 * page); }
    char* tail(size_t n) { return base + page - n; }
};

TEST(Fuzz, ChecksAndLookupStayInsideTheirBytes) {
    Guarded g, gc;
    std::mt19937 rng(12345);
    const char* keys[] = {"DEVPATH", "SUBSYSTEM", "ACTION", "A", "", "PRODUCT"};
    const char alphabet[] = {'\0', '=', '@', '/', 'A', 'D', 'E', 'V', 'P', 'T', 'H', 'x', '\xff'};
    for (int iter = 0; iter < 200000; ++iter) {
        size_t n = rng() % 450;
        char* p = g.tail(n);
        for (size_t i = 0; i < n; ++i)
            p[i] = (rng() % 3) ? alphabet[rng() % sizeof(alphabet)] : (char)rng();
        // Key lookup over exactly n bytes.
        const char* key = keys[rng() % 6];
        long off = hp_find_var(p, n, key);
        if (off >= 0) {
            ASSERT_LE((size_t)off, n);
            ASSERT_EQ(p[off - 1], '=');
        }
        // Datagram check: a receive buffer of n bytes, any reported length,
        // control bytes of any shape and length.
        size_t cl = rng() % (CMSG_SPACE(sizeof(struct ucred)) + 1);
        char* c = gc.tail(cl);
        for (size_t i = 0; i < cl; ++i) c[i] = (char)rng();
        if (cl >= sizeof(struct cmsghdr) && rng() % 2) {
            struct cmsghdr h;
            memcpy(&h, c, sizeof(h));
            h.cmsg_type = SCM_CREDENTIALS;
            h.cmsg_len = rng() % 2 ? CMSG_LEN(sizeof(struct ucred)) : rng() % 64;
            memcpy(c, &h, sizeof(h));
        }
        long rcvd = (long)(rng() % 700) - 50;
        int uid = 0;
        (void)hp_check_datagram(p, n, rcvd, cl ? c : nullptr, cl, &uid);
    }
}

// ---- Queue, supervision and reaper, on the real globals -------------------

// Captures what the module writes to the console.
class QueueTest : public ::testing::Test {
protected:
    int rd_ = -1;
    std::string seen_;

    void SetUp() override {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
        rd_ = fds[0];
        p_fd = fds[1];
        clear_queue();
    }
    void TearDown() override {
        clear_queue();
        close(p_fd);
        p_fd = -1;
        close(rd_);
    }
    static void clear_queue() {
        hp_pkg* p = pkgs_tail;
        while (p) {
            hp_pkg* n = p->next;
            free(p);
            p = n;
        }
        pkgs_tail = nullptr;
        pkgs_head = nullptr;
        pkgs_total = 0;
        pkgs_accepting = 1;
        select_timeout_ptr = nullptr;
    }
    const std::string& console() {
        char b[4096];
        ssize_t n;
        while ((n = read(rd_, b, sizeof b)) > 0) seen_.append(b, (size_t)n);
        return seen_;
    }
    size_t count(const std::string& needle) {
        const std::string& t = console();
        size_t c = 0;
        for (size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + 1)) ++c;
        return c;
    }

    static hp_pkg* make(const std::string& devpath) {
        hp_pkg* p = (hp_pkg*)calloc(1, sizeof(hp_pkg));
        std::string d = uevent("remove@" + devpath, {"ACTION=remove", "DEVPATH=" + devpath, "SUBSYSTEM=misc"});
        memcpy(p->msg, d.data(), d.size());
        p->len = (int)d.size();
        p->devpath = _get_hotplug_var(p, "DEVPATH");
        p->subsystem = _get_hotplug_var(p, "SUBSYSTEM");
        p->action = _get_hotplug_var(p, "ACTION");
        return p;
    }
    // Removes the oldest package the way a finished child does.
    static void finish_oldest() {
        pkgs_tail->status = PKG_FINISHED;
        hotplug_supervise_pkg();
    }
    static std::vector<std::string> order() {
        std::vector<std::string> v;
        for (hp_pkg* p = pkgs_tail; p; p = p->next) v.push_back(p->devpath);
        return v;
    }
};

TEST_F(QueueTest, FifoLinksBothWays) {
    hotplug_add_pkg(make("/a"));
    hotplug_add_pkg(make("/b"));
    hotplug_add_pkg(make("/c"));
    EXPECT_EQ(order(), (std::vector<std::string>{"/a", "/b", "/c"}));
    EXPECT_EQ(pkgs_total, 3);
    EXPECT_STREQ(pkgs_head->devpath, "/c");
    EXPECT_STREQ(pkgs_head->prev->prev->devpath, "/a");
    EXPECT_EQ(pkgs_tail->prev, nullptr);
    finish_oldest();
    EXPECT_EQ(order(), (std::vector<std::string>{"/b", "/c"}));
    EXPECT_EQ(pkgs_tail->prev, nullptr);
    finish_oldest();
    finish_oldest();
    EXPECT_EQ(pkgs_tail, nullptr);
    EXPECT_EQ(pkgs_head, nullptr);
    EXPECT_EQ(pkgs_total, 0);
    EXPECT_STREQ(get_hotplug_var("DEVPATH"), nullptr);
    EXPECT_EQ(count("ERROR, pkgs_tail is zero\n"), 1u);
}

TEST_F(QueueTest, AdmissionHysteresis) {
    for (int i = 0; i < 61; ++i) hotplug_add_pkg(make("/p" + std::to_string(i)));
    EXPECT_EQ(pkgs_total, 61);
    EXPECT_EQ(count("too much"), 0u);
    hotplug_add_pkg(make("/refused"));
    EXPECT_EQ(pkgs_total, 61);
    EXPECT_EQ(count("]:too much hotplug event, ignore it!pkgs_total:61\n"), 1u);
    // Draining to 30: every arrival is still refused.
    while (pkgs_total > 30) {
        finish_oldest();
        hotplug_add_pkg(make("/refused"));
    }
    EXPECT_EQ(pkgs_total, 30);
    EXPECT_EQ(count("too much hotplug event"), 32u);
    EXPECT_EQ(count("ignore it!pkgs_total:30\n"), 1u);
    finish_oldest();
    hotplug_add_pkg(make("/back"));
    EXPECT_EQ(pkgs_total, 30);
    EXPECT_EQ(pkgs_accepting, 1);
    EXPECT_STREQ(pkgs_head->devpath, "/back");
    EXPECT_EQ(count("too much hotplug event"), 32u);
    for (hp_pkg* p = pkgs_tail; p; p = p->next) EXPECT_STRNE(p->devpath, "/refused");
}

TEST_F(QueueTest, ChildGoneWithoutSignalIsRemovedInOnePass) {
    hotplug_add_pkg(make("/a"));
    hotplug_add_pkg(make("/b"));
    pid_t c = fork();
    if (c == 0) _exit(0);
    ASSERT_GT(c, 0);
    waitpid(c, nullptr, 0);  // reaped behind the reaper's back
    pkgs_tail->pid = c;
    pkgs_tail->status = PKG_RUNNING;
    hotplug_supervise_pkg();
    EXPECT_EQ(pkgs_total, 1);
    EXPECT_STREQ(pkgs_tail->devpath, "/b");
    EXPECT_EQ(pkgs_tail->status, PKG_WAITING);
}

TEST_F(QueueTest, RunningChildIsKilledAfter120Passes) {
    hotplug_add_pkg(make("/hang"));
    pid_t c = fork();
    if (c == 0) {
        for (;;) pause();
    }
    pkgs_tail->pid = c;
    pkgs_tail->status = PKG_RUNNING;
    for (int i = 0; i < 120; ++i) hotplug_supervise_pkg();
    EXPECT_EQ(pkgs_total, 1);
    EXPECT_EQ(count("time out"), 0u);
    hotplug_supervise_pkg();
    EXPECT_EQ(pkgs_total, 0);
    EXPECT_EQ(count("]:" + std::to_string(c) + " time out (121seconds), kill it\n"), 1u);
    int st = 0;
    ASSERT_EQ(waitpid(c, &st, 0), c);
    EXPECT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(WTERMSIG(st), SIGKILL);
}

// Waits until `pid` has ended, leaving it to be reaped.
void wait_zombie(pid_t pid) {
    siginfo_t si;
    memset(&si, 0, sizeof(si));
    waitid(P_PID, (id_t)pid, &si, WEXITED | WNOWAIT);
}

TEST_F(QueueTest, ReaperMarksOldestAndWakesLoop) {
    hotplug_add_pkg(make("/a"));
    pid_t other = fork();
    if (other == 0) _exit(1);
    pid_t mine = fork();
    if (mine == 0) _exit(3);
    wait_zombie(other);
    wait_zombie(mine);
    pkgs_tail->pid = mine;
    pkgs_tail->status = PKG_RUNNING;
    select_timeout.tv_sec = 1;
    select_timeout.tv_usec = 5;
    select_timeout_ptr = &select_timeout;
    // One call for two ended children, as when their signals merge.
    hotplug_sigchld(SIGCHLD);
    EXPECT_EQ(pkgs_tail->status, PKG_FINISHED);
    EXPECT_EQ(select_timeout.tv_sec, 0);
    EXPECT_EQ(select_timeout.tv_usec, 0);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);  // nothing left unreaped
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(QueueTest, ReaperLeavesStoppedChildAndKeepsErrno) {
    hotplug_add_pkg(make("/a"));
    pid_t c = fork();
    if (c == 0) {
        raise(SIGSTOP);
        _exit(0);
    }
    siginfo_t si;
    memset(&si, 0, sizeof(si));
    waitid(P_PID, (id_t)c, &si, WSTOPPED | WNOWAIT);
    pkgs_tail->pid = c;
    pkgs_tail->status = PKG_RUNNING;
    errno = EAGAIN;
    hotplug_sigchld(SIGCHLD);  // must return at once
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(pkgs_tail->status, PKG_RUNNING);
    kill(c, SIGKILL);
    wait_zombie(c);
    hotplug_sigchld(SIGCHLD);
    EXPECT_EQ(pkgs_tail->status, PKG_FINISHED);
}

TEST_F(QueueTest, ReaperWithEmptyQueueOnlyReaps) {
    pid_t c = fork();
    if (c == 0) _exit(0);
    wait_zombie(c);
    hotplug_sigchld(SIGCHLD);
    EXPECT_EQ(waitpid(c, nullptr, WNOHANG), -1);
    EXPECT_EQ(pkgs_tail, nullptr);
}

}  // namespace
