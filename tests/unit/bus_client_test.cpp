// The bus client library's calls that need no server: zero-filled memory,
// the shell runner, and sends and cleanups on a handle that is not open.
#include "bus/obx_msg.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

TEST(BusClient, AllocWithFlagOneIsZeroFilled) {
    // Dirty the heap with freed blocks of the same sizes first, so a
    // non-clearing allocator would hand back garbage.
    for (uint32_t size : {36u, 1180u, 4096u, 200000u}) {
        for (int round = 0; round < 3; ++round) {
            void* dirty = malloc(size);
            ASSERT_NE(dirty, nullptr);
            memset(dirty, 0xa5, size);
            free(dirty);
            auto* p = static_cast<unsigned char*>(obxMem_alloc(size, 1));
            ASSERT_NE(p, nullptr);
            for (uint32_t i = 0; i < size; ++i) ASSERT_EQ(p[i], 0) << "size " << size << " byte " << i;
            obxMem_free(p);
        }
    }
    void* none = obxMem_alloc(0, 1);
    EXPECT_NE(none, nullptr);
    obxMem_free(none);
}

TEST(BusClient, SystemActionRunsShellAndWaits) {
    char dir[] = "/tmp/bus_client_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/out";
    // The file is written only after a pause: it is there on return only if
    // the call waited for the shell.
    std::string cmd = "sleep 0.2; for w in a b; do printf %s $w; done >" + file + "; exit 3";
    int status = rut_doSystemAction("processIpveRouteMessage", cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    std::ifstream in(file);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), "ab");
    unlink(file.c_str());
    rmdir(dir);

    EXPECT_EQ(rut_doSystemAction("x", nullptr), -1);
}

TEST(BusClient, NoHandleMeansFailedSendAndHarmlessCleanup) {
    BusMsgHeader h;
    memset(&h, 0, sizeof(h));
    EXPECT_NE(obxMsg_send(nullptr, &h), 0);
    void* handle = nullptr;
    obxMsg_cleanup(&handle);
    obxMsg_cleanup(nullptr);
    EXPECT_EQ(handle, nullptr);
}
