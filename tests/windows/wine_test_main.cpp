// Entry of the Windows-side tests: cellvaro_wine_tests PATH_TO_CELLVARO_EXE
// [gtest options]. Built with -municode, so the entry is wmain.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "test_support.h"

int wmain(int argc, wchar_t **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: cellvaro_wine_tests PATH_TO_CELLVARO_EXE [gtest options]\n");
        return 2;
    }
    std::wstring path = argv[1];
    std::replace(path.begin(), path.end(), L'/', L'\\');
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "cellvaro_wine_tests: %ls not found\n", path.c_str());
        return 2;
    }
    SetCellvaroExePath(path);
    return RUN_ALL_TESTS();
}
