// The minimal loop hotplug is measured against: per package it does what
// hotplug must do at the least: receive a datagram, fork, pipe handshake,
// the child exits, SIGCHLD, reap. C library only (no C++ library), so that
// board/dispatch_loop.cpp links it as hotplug is linked, against either C
// library; bench/dispatch_loop.h measures with it.
#pragma once

#include <errno.h>
#include <linux/netlink.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace dispatch_loop {

inline volatile pid_t base_child = 0;
inline volatile int base_finished = 0;
inline volatile struct timeval base_timeout;
inline volatile struct timeval* volatile base_timeout_ptr = nullptr;

inline void base_sigchld(int) {
    int e = errno;
    int st;
    pid_t p;
    while ((p = waitpid(-1, &st, WNOHANG)) > 0) {
        if (p == base_child) {
            base_finished = 1;
            if (base_timeout_ptr) {
                base_timeout.tv_sec = 0;
                base_timeout.tv_usec = 0;
            }
        }
    }
    errno = e;
}

// Serves uevent group `group` for good.
[[noreturn]] inline void run_minimal_loop(int group) {
    // Like the daemon: a session of its own, hence (with autogroup
    // scheduling) a scheduling group of its own, apart from the poller.
    setsid();
    // The daemon binds every symbol at start-up; bind what the children
    // call here, so that no child of the loop pays for lazy binding either.
    ssize_t r0 = read(-1, nullptr, 0);
    (void)r0;
    (void)syscall(SYS_getpid);
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sigfillset(&sa.sa_mask);
    sa.sa_handler = base_sigchld;
    sigaction(SIGCHLD, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);

    int sock = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    struct sockaddr_nl addr;
    memset(&addr, 0, sizeof(addr));
    addr.nl_family = AF_NETLINK;
    addr.nl_groups = 1u << (group - 1);
    if (sock < 0 || bind(sock, (struct sockaddr*)&addr, sizeof(addr)) != 0) _exit(2);
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on));

    // Received datagrams waiting for their child, oldest first: queue[head]
    // to queue[size - 1]. A plain array, so that the loop needs the C library
    // alone, as hotplug does (board/dispatch_loop.cpp is built like it).
    size_t cap = 256, size = 0, head = 0;
    char** queue = (char**)malloc(cap * sizeof(char*));
    if (!queue) _exit(2);
    bool running = false;
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(sock, &rd);
        if (size > head) {
            base_timeout.tv_sec = 1;
            base_timeout.tv_usec = 0;
            base_timeout_ptr = &base_timeout;
        } else {
            base_timeout_ptr = nullptr;
        }
        int ready = 0;
        if (!base_finished)
            ready = select(sock + 1, &rd, nullptr, nullptr, const_cast<struct timeval*>(base_timeout_ptr));
        if (ready > 0 && FD_ISSET(sock, &rd)) {
            if (size == cap) {
                char** grown = (char**)realloc(queue, 2 * cap * sizeof(char*));
                if (!grown) _exit(2);
                queue = grown;
                cap *= 2;
            }
            char* buf = (char*)calloc(1, 400);
            union {
                struct cmsghdr h;
                char b[CMSG_SPACE(sizeof(struct ucred))];
            } ctl;
            struct iovec iov = {buf, 400};
            struct msghdr mh;
            memset(&mh, 0, sizeof(mh));
            mh.msg_iov = &iov;
            mh.msg_iovlen = 1;
            mh.msg_control = ctl.b;
            mh.msg_controllen = sizeof(ctl.b);
            if (recvmsg(sock, &mh, MSG_TRUNC) > 0)
                queue[size++] = buf;
            else
                free(buf);
        }
        if (base_finished) {
            base_finished = 0;
            running = false;
            free(queue[head++]);
            if (head == size) size = head = 0;
        }
        if (!running && size > head) {
            int fds[2];
            bool piped = pipe(fds) == 0;
            pid_t c = fork();
            if (c == 0) {
                if (piped) {
                    close(fds[1]);
                    char t;
                    while (read(fds[0], &t, 1) < 0 && errno == EINTR) {
                    }
                }
                syscall(SYS_exit_group, 0);
            }
            base_child = c;
            running = true;
            if (piped) {
                close(fds[0]);
                ssize_t w = write(fds[1], "a", 1);
                (void)w;
                close(fds[1]);
            }
        }
    }
}

}  // namespace dispatch_loop
