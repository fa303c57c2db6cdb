// The daemon encodes a block for every discovery request and decodes every
// update: those paths must not touch the heap. Counts operator new calls
// made on this thread.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "codec_fixtures.h"
#include "config_block.h"
#include "config_protocol.h"

namespace {
thread_local long g_allocations = 0;
}

void *operator new(std::size_t n) {
    ++g_allocations;
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t n) { return operator new(n); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
// The nothrow forms too (std::stable_sort's buffer, elsewhere in this test
// program), so that nothing reaches a delete other than its new's.
void *operator new(std::size_t n, const std::nothrow_t &) noexcept {
    ++g_allocations;
    return std::malloc(n ? n : 1);
}
void *operator new[](std::size_t n, const std::nothrow_t &t) noexcept { return operator new(n, t); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }

TEST(CodecAllocations, EncodeDecodeAndFramingUseNoHeap) {
    const gwblock::BlockContents in = codec_test::SampleContents();
    uint8_t block[gwblock::kBlockSize];
    uint8_t reply[SEARCH_FORMAT_LEN];
    uint8_t update[UPDATE_COMMAND_LEN];
    gwblock::BlockContents out;
    uint8_t mac[6];
    gwblock::encode(in, block);  // first use builds the key table
    const long before = g_allocations;
    for (int i = 0; i < 100; ++i) {
        gwblock::encode(in, block);
        gwblock::build_discovery_reply(reply, in.eqp.mac, block);
        ASSERT_TRUE(gwblock::parse_discovery_reply(reply, sizeof reply, mac, &out, nullptr));
        gwblock::build_update(update, mac, block);
        std::string err;
        ASSERT_TRUE(gwblock::decode(update + gwproto::kUpdateBlockOffset, &out, &err));
        gwblock::apply_block(out, &out.eqp, &out.gw);
    }
    EXPECT_EQ(g_allocations - before, 0);
}
