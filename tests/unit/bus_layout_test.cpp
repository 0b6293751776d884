// Byte layout of the bus messages: header, storage payload and route report
// entries, checked field by field and against bytes written word by word in
// the target's own byte order (on big-endian MIPS that proves the big-endian
// layout the service daemon expects).
#include "bus/obx_msg.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

// Writes a 32-bit word at `off` in the byte order of the machine the test
// runs on, spelled out byte by byte rather than copied from memory.
void put32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    if constexpr (std::endian::native == std::endian::big) {
        b[off] = static_cast<uint8_t>(v >> 24);
        b[off + 1] = static_cast<uint8_t>(v >> 16);
        b[off + 2] = static_cast<uint8_t>(v >> 8);
        b[off + 3] = static_cast<uint8_t>(v);
    } else {
        b[off] = static_cast<uint8_t>(v);
        b[off + 1] = static_cast<uint8_t>(v >> 8);
        b[off + 2] = static_cast<uint8_t>(v >> 16);
        b[off + 3] = static_cast<uint8_t>(v >> 24);
    }
}

void put_text(std::vector<uint8_t>& b, size_t off, const char* s) { memcpy(&b[off], s, strlen(s)); }

std::vector<uint8_t> bytes_of(const void* p, size_t n) {
    auto* c = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(c, c + n);
}

// The 28-byte header as a sender fills it: two zero words at 16..23.
std::vector<uint8_t> expected_header(uint32_t type, uint32_t src, uint32_t dst, uint32_t length,
                                     size_t total) {
    std::vector<uint8_t> b(total, 0);
    put32(b, 0, type);
    put32(b, 4, src);
    put32(b, 8, dst);
    put32(b, 12, 0x80000000u);
    put32(b, 24, length);
    return b;
}

}  // namespace

TEST(BusLayout, HeaderFieldsSitAtTheirOffsets) {
    EXPECT_EQ(sizeof(BusMsgHeader), 28u);
    EXPECT_EQ(offsetof(BusMsgHeader, type), 0u);
    EXPECT_EQ(offsetof(BusMsgHeader, src), 4u);
    EXPECT_EQ(offsetof(BusMsgHeader, dst), 8u);
    EXPECT_EQ(offsetof(BusMsgHeader, flags), 12u);
    EXPECT_EQ(offsetof(BusMsgHeader, reserved), 16u);
    EXPECT_EQ(sizeof(BusMsgHeader::reserved), 8u);
    EXPECT_EQ(offsetof(BusMsgHeader, dataLength), 24u);
}

TEST(BusLayout, PayloadFieldsSitAtTheirOffsets) {
    EXPECT_EQ(sizeof(StorageEventPayload), 8u);
    EXPECT_EQ(offsetof(StorageEventPayload, disk), 0u);
    EXPECT_EQ(offsetof(StorageEventPayload, partition), 4u);

    EXPECT_EQ(sizeof(Ipv6RouteEventEntry), 144u);
    EXPECT_EQ(offsetof(Ipv6RouteEventEntry, ifName), 0u);
    EXPECT_EQ(offsetof(Ipv6RouteEventEntry, gateway), 48u);
    EXPECT_EQ(offsetof(Ipv6RouteEventEntry, address), 96u);
    EXPECT_EQ(sizeof(BusMsgHeader) + IPV6_ROUTE_EVENT_MAX_ENTRIES * sizeof(Ipv6RouteEventEntry), 1180u);
}

TEST(BusLayout, IdsAndTypeCodes) {
    EXPECT_EQ(EID_PLEXD, 21u);
    EXPECT_EQ(EID_HOTPLUG, 51u);
    EXPECT_EQ(EID_ROUTE6MON, 102u);
    EXPECT_EQ(OBX_MSG_FLAG_EVENT, 0x80000000u);
    EXPECT_EQ(MSG_STORAGE_DISK_ADDED, 0x01000310u);
    EXPECT_EQ(MSG_STORAGE_DISK_REMOVED, 0x01000311u);
    EXPECT_EQ(MSG_STORAGE_PART_MOUNTED, 0x01000312u);
    EXPECT_EQ(MSG_STORAGE_PART_UNMOUNTED, 0x01000313u);
    EXPECT_EQ(MSG_IPV6_ROUTE_EVENT, 0x10002801u);
}

// Built the way the storage pass builds it: zero-filled memory from the
// library, bit 31 ORed into flags, the words at 16..23 never written.
TEST(BusLayout, StorageMessageBytes) {
    void* mem = obxMem_alloc(36, 1);
    ASSERT_NE(mem, nullptr);
    auto* msg = static_cast<BusMsgHeader*>(mem);
    msg->type = MSG_STORAGE_PART_MOUNTED;
    msg->src = EID_HOTPLUG;
    msg->dst = EID_PLEXD;
    msg->flags |= OBX_MSG_FLAG_EVENT;
    msg->dataLength = sizeof(StorageEventPayload);
    auto* payload = reinterpret_cast<StorageEventPayload*>(msg + 1);
    payload->disk = 2;
    payload->partition = -3;  // signed words keep their two's complement form

    std::vector<uint8_t> want = expected_header(0x01000312u, 51, 21, 8, 36);
    put32(want, 28, 2);
    put32(want, 32, 0xfffffffdu);
    EXPECT_EQ(bytes_of(mem, 36), want);
    obxMem_free(mem);
}

TEST(BusLayout, RouteReportBytes) {
    std::vector<uint8_t> buf(1180, 0);
    auto* msg = reinterpret_cast<BusMsgHeader*>(buf.data());
    msg->type = MSG_IPV6_ROUTE_EVENT;
    msg->src = EID_ROUTE6MON;
    msg->dst = EID_PLEXD;
    msg->flags = OBX_MSG_FLAG_EVENT;
    msg->dataLength = 2 * sizeof(Ipv6RouteEventEntry);
    auto* entries = reinterpret_cast<Ipv6RouteEventEntry*>(msg + 1);
    strncpy(entries[0].ifName, "eth0", sizeof(entries[0].ifName));
    strncpy(entries[0].address, "2001:db8::5", sizeof(entries[0].address));
    strncpy(entries[1].ifName, "wds0.1", sizeof(entries[1].ifName));
    strncpy(entries[1].gateway, "fe80::1", sizeof(entries[1].gateway));

    std::vector<uint8_t> want = expected_header(0x10002801u, 102, 21, 288, 1180);
    put_text(want, 28 + 0, "eth0");
    put_text(want, 28 + 96, "2001:db8::5");
    put_text(want, 28 + 144 + 0, "wds0.1");
    put_text(want, 28 + 144 + 48, "fe80::1");
    EXPECT_EQ(buf, want);
}

// The same header spelled out literally for the byte order of this machine,
// so that a wrong helper cannot hide a wrong layout.
TEST(BusLayout, HeaderWordsInNativeOrderLiterally) {
    BusMsgHeader h;
    memset(&h, 0, sizeof(h));
    h.type = MSG_STORAGE_DISK_ADDED;
    h.src = EID_HOTPLUG;
    h.dataLength = 8;
    auto b = bytes_of(&h, sizeof(h));
    if constexpr (std::endian::native == std::endian::big) {
        EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 8),
                  (std::vector<uint8_t>{0x01, 0x00, 0x03, 0x10, 0x00, 0x00, 0x00, 0x33}));
        EXPECT_EQ(std::vector<uint8_t>(b.begin() + 24, b.end()), (std::vector<uint8_t>{0, 0, 0, 8}));
    } else {
        EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.begin() + 8),
                  (std::vector<uint8_t>{0x10, 0x03, 0x00, 0x01, 0x33, 0x00, 0x00, 0x00}));
        EXPECT_EQ(std::vector<uint8_t>(b.begin() + 24, b.end()), (std::vector<uint8_t>{8, 0, 0, 0}));
    }
}
