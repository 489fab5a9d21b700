// Entry of the tests on the kernel-mode test driver:
//   cellvaro_wdm_tests PATH_TO_CELLVARO_EXE SOURCE_TREE [gtest options]
// run under Wine after the driver's devices were installed. Built with
// -municode, so the entry is wmain.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "driver_stack.h"
#include "test_support.h"

namespace {

// Every test needs the driver: it must be up before the first one.
class DriverEnvironment : public testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(WaitForInterfaces(kInterfaceTimeoutMs))
            << "the test driver's interfaces did not appear within " << kInterfaceTimeoutMs << " ms";
    }
};

std::wstring WindowsPath(std::wstring path) {
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 3) {
        std::fprintf(stderr,
                     "usage: cellvaro_wdm_tests PATH_TO_CELLVARO_EXE SOURCE_TREE [gtest options]\n");
        return 2;
    }
    std::wstring exe = WindowsPath(argv[1]);
    if (GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "cellvaro_wdm_tests: %ls not found\n", exe.c_str());
        return 2;
    }
    SetCellvaroExePath(exe);
    SetSourceRoot(WindowsPath(argv[2]));
    testing::AddGlobalTestEnvironment(new DriverEnvironment);
    return RUN_ALL_TESTS();
}
