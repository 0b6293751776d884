// Fuzzes the walk of a dump reply datagram: any bytes, copied into a buffer
// of exactly their size so that a read past the datagram is caught. Every
// message handed on must lie whole inside the datagram, start on a 4-byte
// boundary after the one before, and carry the request's sequence number;
// each is then parsed as an address and as a route notification, as the
// handlers would parse it (the handlers themselves would run commands).
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "route6mon/route6mon.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

struct Walk {
    const uint8_t* data;
    size_t len;
    uint32_t seq;
    const uint8_t* last_end;  // end of the message handed on before
};

void visit(const uint8_t* msg, size_t len, void* ctx) {
    Walk& w = *static_cast<Walk*>(ctx);
    check(msg >= w.last_end && msg >= w.data);
    check(static_cast<size_t>(msg - w.data) % 4 == 0);
    check(len >= NL_HDR_LEN && len <= w.len - static_cast<size_t>(msg - w.data));
    uint32_t nlmsg_len, seq;
    memcpy(&nlmsg_len, msg, 4);
    memcpy(&seq, msg + 8, 4);
    check(nlmsg_len == len && seq == w.seq);
    w.last_end = msg + len;
    parse_newaddr(msg, len);
    parse_newroute(msg, len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // Byte 0 picks the sequence number asked for (the seeds use 1).
    uint32_t seq = data[0];
    ++data;
    --size;
    uint8_t* buf = static_cast<uint8_t*>(malloc(size ? size : 1));
    if (size) memcpy(buf, data, size);
    Walk w = {buf, size, seq, buf};
    DumpEnd end = walk_dump(buf, size, seq, visit, &w);
    check(end == DUMP_MORE || end == DUMP_DONE || end == DUMP_FAILED);
    free(buf);
    return 0;
}
