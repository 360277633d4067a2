// kv830-host: runs the plant controller driver against a real (or simulated) controller.
#include "program.h"

int main(int argc, char** argv) {
    return kv830host::run_main(argc, argv);
}
