// Entry of the out-of-process client tests. The process ends with the tests'
// result as soon as they have run: how Wine's COM tears down a process that
// has served callbacks is not under test here, and that teardown was seen to
// hang (rarely) after every test had passed.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
