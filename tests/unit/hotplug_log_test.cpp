// The console log keeps whole lines when SIGCHLD interrupts a blocked write.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "hotplug/hp_log.h"

namespace {

void on_signal(int) {}

TEST(ConsoleLog, InterruptedWriteOfABlockedConsoleStillDeliversTheWholeLine) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    // Fill the pipe so that the next write blocks, as on a busy serial console.
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    std::string filler(4096, 'f');
    size_t filled = 0;
    for (ssize_t n; (n = write(fds[1], filler.data(), filler.size())) > 0;) filled += static_cast<size_t>(n);
    fcntl(fds[1], F_SETFL, 0);

    // A signal without SA_RESTART, as the daemon installs SIGCHLD, arriving
    // every few milliseconds while the write waits.
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_signal;
    sigaction(SIGALRM, &sa, nullptr);
    struct itimerval every = {{0, 3000}, {0, 3000}};
    setitimer(ITIMER_REAL, &every, nullptr);

    std::string drained;
    std::thread reader([&] {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &block, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        char buf[8192];
        for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;) drained.append(buf, static_cast<size_t>(n));
    });

    std::string line = "[1 hotplug_netlink_process:1]:" + std::string(900, 'x') + "\n";
    p_fd = fds[1];
    snprintf(p_buf, sizeof(p_buf), "%s", line.c_str());
    hp_log_flush();
    close(fds[1]);
    reader.join();

    struct itimerval off = {{0, 0}, {0, 0}};
    setitimer(ITIMER_REAL, &off, nullptr);
    close(fds[0]);
    p_fd = -1;
    ASSERT_EQ(drained.size(), filled + line.size());
    EXPECT_EQ(drained.substr(filled), line);
}

}  // namespace
