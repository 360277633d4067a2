// kv830-host: runs the plant controller driver against a real (or simulated) controller.
#include <malloc.h>

#include "program.h"

namespace {

// glibc gives each thread that allocates an arena of its own, reserving 64 MiB of address
// space apiece on a 64-bit build (1 MiB on 32-bit): with the HTTP, MQTT and history threads
// that is most of the program's address space, which a gateway with strict overcommit may
// refuse. The threads allocate little and seldom at once, so two arenas are plenty.
constexpr int kMallocArenas = 2;

}  // namespace

int main(int argc, char** argv) {
    (void)mallopt(M_ARENA_MAX, kMallocArenas);
    return kv830host::run_main(argc, argv);
}
