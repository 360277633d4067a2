// The reply path runs for every Modbus reply of every cycle: it must not allocate.
// This executable replaces the allocator to count every allocation made while armed.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "test_support.h"

// The C library's own allocator under its own reserved names: the counting operators
// below hand every request on to it.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void __libc_free(void*);
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {
std::atomic<bool> armed{false};
std::atomic<int> allocations{0};

void note() {
    if (armed.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
}
}  // namespace

extern "C" void* malloc(std::size_t n) {
    note();
    return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t m) {
    note();
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, std::size_t n) {
    note();
    return __libc_realloc(p, n);
}

void* operator new(std::size_t n) {
    note();
    void* p = __libc_malloc(n == 0 ? 1 : n);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}
void* operator new[](std::size_t n) {
    return operator new(n);
}
void operator delete(void* p) noexcept {
    __libc_free(p);
}
void operator delete[](void* p) noexcept {
    __libc_free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    __libc_free(p);
}

TEST(AllocationTest, CounterSeesAnAllocation) {
    armed = true;
    allocations = 0;
    // The allocation itself is what is counted; its value is never read.
    // cppcheck-suppress unusedAllocatedMemory
    auto* p = new int(3);
    armed = false;
    delete p;
    EXPECT_EQ(allocations.load(), 1);
}

TEST(AllocationTest, RepliesOfACycleAllocateNothing) {
    kv830test::TestDevice device;
    qdxhost::Observer quiet;  // the cheapest host: records nothing
    qdxhost::HostAccess::set_observer(device, &quiet);
    std::uint16_t regs[125];
    for (int i = 0; i < 125; ++i) {
        regs[i] = static_cast<std::uint16_t>(i);
    }
    std::uint8_t bits[81] = {};
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        device.RefreshStatus();
        armed = true;
        allocations = 0;
        int replies = 0;
        // Tags 11 to 26: everything but the reply that completes the round.
        while (device.request_tag_ < 27) {
            qdxhost::HostAccess::reply_registers(device, regs, 64);
            ++replies;
        }
        armed = false;
        EXPECT_EQ(replies, 16);
        EXPECT_EQ(allocations.load(), 0);
        testing::internal::CaptureStdout();
        qdxhost::HostAccess::reply_bits(device, bits, 81);
        testing::internal::GetCapturedStdout();
    }
}
