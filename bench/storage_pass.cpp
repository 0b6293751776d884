// Storage pass benchmark: the work of one pass (the pass lock, the eight
// steps, sync, the bus open and close) for one and for four partitions, apart from the pass's
// fixed waits (1 s + 500 us before the steps, 1 s before closing the bus).
// Each round plugs the disk (mounts), runs a pass that finds everything in
// order, and pulls it (unmounts). Needs root; runs inside the sandbox with
// real ext2 images on loop devices, plexd on the bus and stand-ins for
// fuser, killall and ntfs-3g.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bus/obx_msg.h"
#include "hotplug/hotplug_netlink_storage.h"
#include "hotplug/hotplug_netlink_storage_mount.h"
#include "hotplug/hotplug_netlink_storage_notify.h"
#include "hotplug/hp_log.h"
#include "tests/support/sandbox.h"

#include <sys/sysmacros.h>

namespace {

constexpr int kRounds = 15;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// One pass without its fixed waits, as the handler child runs it; returns
// milliseconds.
double timed_pass() {
    plexd_seen = 0;  // every pass runs in a fresh child
    plexd_lost = 0;
    auto t0 = std::chrono::steady_clock::now();
    HpPassLock lock = hp_take_pass_lock(HP_PASS_LOCK_WAIT_S);
    if (obxMsg_init(EID_HOTPLUG, &g_msgHandle) != 0) g_msgHandle = nullptr;
    hp_storage_steps();
    if (g_msgHandle) obxMsg_cleanup(&g_msgHandle);
    lock.fd.reset();
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(t1 - t0).count();
}

// The lock alone, uncontended, as each pass takes and drops it; microseconds.
double timed_lock() {
    constexpr int kTimes = 1000;
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kTimes; ++i) {
        HpPassLock lock = hp_take_pass_lock(HP_PASS_LOCK_WAIT_S);
        if (lock.state != HpPassLock::kHeld) return -1;
    }
    auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::micro>(t1 - t0).count() / kTimes;
}

int mounted_count(size_t n) {
    int count = 0;
    for (size_t i = 1; i <= n; ++i)
        count += access(("/mnt/usb2_" + std::to_string(i) + "/hello.txt").c_str(), F_OK) == 0;
    return count;
}

void bench_case(size_t n) {
    sandbox::run(
        [n] {
            sandbox::tmpfs("/run");
            sandbox::tmpfs("/var");
            sandbox::tmpfs("/mnt");
            std::vector<std::unique_ptr<sandbox::LoopImage>> images;
            std::map<std::string, dev_t> devs;
            for (size_t i = 0; i < n; ++i) {
                images.push_back(std::make_unique<sandbox::LoopImage>(
                    "/run/disk" + std::to_string(i) + ".img", 2, false,
                    std::map<std::string, std::string>{{"hello.txt", "x"}}));
                devs[images.back()->device().substr(5)] = images.back()->device_number();
            }
            sandbox::hide_dev(devs);
            sandbox::fake_sys_block({{"sda", 2, 1}});
            sandbox::StandIns tools;
            for (const char* tool : {"fuser", "killall", "kill"}) tools.add(tool);
            tools.add("ntfs-3g", 1);
            auto plexd = sandbox::start_plexd(false);
            p_fd = open("/dev/null", O_WRONLY);

            std::vector<sandbox::PartRow> present{{8, 0, 2048, "sda"}};
            for (size_t i = 0; i < n; ++i)
                present.push_back({static_cast<int>(major(images[i]->device_number())),
                                   static_cast<int>(minor(images[i]->device_number())), 2048,
                                   "sda" + std::to_string(i + 1)});
            // Pulled: the disk leaves with its partitions (a disk row left
            // alone would be mounted as a whole).
            std::vector<sandbox::PartRow> gone;

            std::vector<double> plug, steady, unplug, lock;
            for (int round = 0; round < kRounds; ++round) {
                sandbox::fake_proc_partitions(present);
                plug.push_back(timed_pass());
                if (mounted_count(n) != static_cast<int>(n)) {
                    fprintf(stderr, "round %d: not every partition mounted\n", round);
                    return;
                }
                steady.push_back(timed_pass());
                lock.push_back(timed_lock());
                sandbox::fake_proc_partitions(gone);
                unplug.push_back(timed_pass());
                if (mounted_count(n) != 0) {
                    fprintf(stderr, "round %d: a partition stayed mounted\n", round);
                    return;
                }
            }
            printf("storage pass, %zu partition%s (work only, median of %d; the pass adds "
                   "2.0005 s of fixed waits):\n"
                   "  plug (mount)      %8.2f ms\n"
                   "  nothing to do     %8.2f ms\n"
                   "  pull (unmount)    %8.2f ms\n"
                   "  of which the lock %8.2f us (take and drop, uncontended)\n",
                   n, n == 1 ? "" : "s", kRounds, median(plug), median(steady), median(unplug), median(lock));
            fflush(stdout);
        },
        sandbox::Options{false, 600});
}

}  // namespace

int main() {
    if (geteuid() != 0) {
        fprintf(stderr, "bench_storage_pass: needs root (namespaces, loop devices, mounts)\n");
        return 1;
    }
    bench_case(1);
    bench_case(4);
    return 0;
}
