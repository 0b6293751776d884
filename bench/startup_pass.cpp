// Cost of the storage pass that hotplug runs at start: the time from the
// daemon's start to the end of that pass (its package removed from the
// queue), and to the moment its child begins, for a machine with no stick,
// and with one stick present (an ext2 image on a loop device, mounted by the
// pass), each with and without plexd on the bus. Events that arrive in that
// time wait in the queue behind the pass.
//
// Runs in the storage sandbox (machine's disks hidden, stand-ins for the
// unmount tools) with /var/debug on, so that the console shows the pass's
// package being added, started and removed. Needs root. Run by hand:
// build/bin/bench_startup_pass
#include <fcntl.h>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/sandbox.h"

namespace {

constexpr int kRounds = 5;
using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

void bench_case(bool stick, bool with_plexd) {
    sandbox::run(
        [stick, with_plexd] {
            sandbox::tmpfs("/run");
            std::unique_ptr<sandbox::LoopImage> image;
            std::map<std::string, dev_t> devs;
            if (stick) {
                image = std::make_unique<sandbox::LoopImage>("/run/stick.img", 2, false,
                                                             std::map<std::string, std::string>{{"hello.txt", "x"}});
                devs[image->device().substr(5)] = image->device_number();
            }
            sandbox::tmpfs("/var");
            sandbox::tmpfs("/mnt");
            sandbox::hide_dev(devs);
            std::vector<sandbox::PartRow> rows;
            if (stick) {
                rows.push_back({8, 0, 2048, "sda"});
                rows.push_back({static_cast<int>(major(image->device_number())),
                                static_cast<int>(minor(image->device_number())), 2048, "sda1"});
            }
            sandbox::fake_proc_partitions(rows);
            sandbox::fake_sys_block({{"sda", 2, 1}});
            sandbox::StandIns tools;
            for (const char* tool : {"fuser", "killall", "kill"}) tools.add(tool);
            tools.add("ntfs-3g", 1);
            sandbox::write_file("/var/debug", "");
            sandbox::Console console;
            std::unique_ptr<sandbox::Process> plexd;
            if (with_plexd) plexd = sandbox::start_plexd(false);

            const std::string end = " add /hotplug-start block\n";  // the Del line of its package
            const std::string begin = " START to handle:\n\tadd block /hotplug-start\n";
            std::vector<double> to_begin, to_end;
            for (int round = 0; round < kRounds; ++round) {
                size_t ends = console.count(end);
                size_t begins = console.count(begin);
                auto t0 = Clock::now();
                sandbox::Process hp({sandbox::bin("hotplug")});
                if (!console.wait_for(begin, 10, begins + 1)) {
                    fprintf(stderr, "the start-up pass did not begin\n");
                    return;
                }
                to_begin.push_back(ms_since(t0));
                if (!console.wait_for(end, 20, ends + 1)) {
                    fprintf(stderr, "the start-up pass did not end\n");
                    return;
                }
                to_end.push_back(ms_since(t0));
                if (stick && access("/mnt/usb2_1/hello.txt", F_OK) != 0) {
                    fprintf(stderr, "round %d: the stick was not mounted\n", round);
                    return;
                }
                hp.stop(SIGTERM, 5);
                // A pass started by a kernel event (a loop device of another
                // program) outlives the daemon: let it end first.
                sandbox::wait_until([] { return sandbox::sh("pgrep -x hotplug >/dev/null") != 0; }, 10);
                // Unplugged behind the daemon's back, so that the next start
                // mounts it again.
                if (stick) {
                    umount2("/mnt/usb2_1", MNT_DETACH);
                    sandbox::sh("rm -rf /mnt/usb2_1 /var/dev");
                }
            }
            printf("%-26s %-17s start -> pass begins %7.1f ms, -> pass ended %7.1f ms (median of %d)\n",
                   stick ? "one stick (it mounts it)," : "no stick,", with_plexd ? "plexd on the bus:" : "no plexd, no bus:",
                   median(to_begin), median(to_end), kRounds);
            fflush(stdout);
        },
        sandbox::Options{false, 600});
}

}  // namespace

int main() {
    if (geteuid() != 0) {
        fprintf(stderr, "bench_startup_pass: needs root (namespaces, loop devices, mounts)\n");
        return 1;
    }
    printf("fixed waits inside every pass: 1 s + 500 us before its steps, and 1 s before the bus is closed "
           "(only with a bus)\n");
    for (bool stick : {false, true})
        for (bool plexd : {false, true}) bench_case(stick, plexd);
    return 0;
}
