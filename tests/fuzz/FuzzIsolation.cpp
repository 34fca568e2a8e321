// Fuzz targets that contain the Wi-Fi transport (whose discovery
// broadcasts) run only in a network namespace of their own with nothing
// up: the process leaves the one it was started in before fuzzing, or
// refuses to run.
#include <sched.h>

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (unshare(CLONE_NEWNET) != 0) {
        std::perror("fuzz target: cannot leave the network namespace (run as root)");
        std::exit(1);
    }
    return 0;
}
