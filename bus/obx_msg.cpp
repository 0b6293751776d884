// Stand-in for the maker's management-bus client library. One connection to
// the bus socket per handle; every message travels as one seqpacket record,
// header and payload exactly as they lie in memory.
#include "bus/obx_msg.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// Larger messages than this are refused rather than sent.
constexpr uint32_t kMaxPayload = 65536;

// A send waits at most this long for room in the socket: a server that has
// stopped reading must not freeze the daemon (route6mon sends from its alarm
// handler); the message is then lost like any other failed send.
constexpr time_t kSendTimeoutSeconds = 5;

// The handle is the connected descriptor plus one, so that 0 means none.
int handle_fd(void* handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)) - 1; }

}  // namespace

extern "C" int obxMsg_init(uint32_t eid, void** handle) {
    (void)eid;
    if (!handle) return -1;
    *handle = nullptr;
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, OBX_MSG_SOCKET_PATH, sizeof(addr.sun_path) - 1);
    for (;;) {
        if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0) break;
        if (errno == EINTR) continue;
        // A connect interrupted after the kernel made the connection.
        if (errno == EISCONN) break;
        close(fd);
        return -1;
    }
    struct timeval tv;
    memset(&tv, 0, sizeof(tv));
    tv.tv_sec = kSendTimeoutSeconds;
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    *handle = reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1);
    return 0;
}

extern "C" int obxMsg_send(void* handle, const BusMsgHeader* msg) {
    if (!handle || !msg || msg->dataLength > kMaxPayload) return -1;
    size_t len = sizeof(BusMsgHeader) + msg->dataLength;
    for (;;) {
        // MSG_NOSIGNAL: a server that went away gives EPIPE, not SIGPIPE.
        ssize_t n = send(handle_fd(handle), msg, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        return n == static_cast<ssize_t>(len) ? 0 : -1;
    }
}

extern "C" void obxMsg_cleanup(void** handle) {
    if (!handle || !*handle) return;
    close(handle_fd(*handle));
    *handle = nullptr;
}

extern "C" void* obxMem_alloc(uint32_t size, uint32_t flags) {
    if (size == 0) size = 1;
    return (flags & 1) ? calloc(1, size) : malloc(size);
}

extern "C" void obxMem_free(void* p) { free(p); }

extern "C" int rut_doSystemAction(const char* label, const char* cmd) {
    (void)label;
    if (!cmd) return -1;
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        char sh[] = "sh";
        char dash_c[] = "-c";
        char* argv[] = {sh, dash_c, const_cast<char*>(cmd), nullptr};
        execve("/bin/sh", argv, environ);
        _exit(127);
    }
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, 0) >= 0) return status;
        if (errno != EINTR) return -1;
    }
}
