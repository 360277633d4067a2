// kv830-host: runs the plant controller driver against a real (or simulated) controller.
#include <malloc.h>

#include "program.h"

namespace {

// glibc gives each thread that allocates an arena of its own, reserving 64 MiB of address
// space apiece on a 64-bit build (1 MiB on 32-bit): with the HTTP, MQTT and history threads
// that is most of the program's address space, which a gateway with strict overcommit may
// refuse. The threads allocate little and seldom at once, so two arenas are plenty.
constexpr int kMallocArenas = 2;
// glibc raises its threshold for mapping a block on its own each time such a block is
// freed, after which the history's packing context (half a mebibyte, made and freed at
// every commit) would come from the heap and stay resident there. A fixed threshold keeps
// it mapped apart and handed back whole.
constexpr int kMmapThreshold = 128 * 1024;

}  // namespace

int main(int argc, char** argv) {
    (void)mallopt(M_ARENA_MAX, kMallocArenas);
    (void)mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
    return kv830host::run_main(argc, argv);
}
