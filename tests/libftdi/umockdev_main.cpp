// The entry point of the tests that need umockdev: the process, and every tool
// it starts, must run with umockdev's preload library, which redirects /sys
// and the USB device nodes to the testbeds the tests make. Started without it
// (by ctest, or by hand), the binary starts itself again with it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

const char PreloadLibrary[] = "libumockdev-preload.so.0";

bool Preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, PreloadLibrary) != nullptr;
}

} // namespace

int main(int argc, char** argv) {
    if (!Preloaded()) {
        const char* preload = std::getenv("LD_PRELOAD");
        std::string value = PreloadLibrary;
        if (preload != nullptr && *preload != '\0') {
            value += std::string(":") + preload;
        }
        setenv("LD_PRELOAD", value.c_str(), 1);
        // The sanitizer runtime would refuse a library loaded before it.
        const char* asan = std::getenv("ASAN_OPTIONS");
        std::string options = "verify_asan_link_order=0";
        if (asan != nullptr && *asan != '\0') {
            options = std::string(asan) + ":" + options;
        }
        setenv("ASAN_OPTIONS", options.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("re-running under umockdev's preload library");
        return 127;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
