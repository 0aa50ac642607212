// archprobe.exe: says which architecture it runs as, and whether as a 32-bit
// program on 64-bit Windows (WoW64). The Wine session start runs the 32-bit
// build once to learn whether 32-bit programs run in the prefix at all.
//
//   archprobe.exe   prints e.g. "archprobe: 32-bit WoW64", exit code 0
#include <windows.h>

#include <cstdio>

int main() {
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64)) {
        wow64 = FALSE;
    }
    std::printf("archprobe: %d-bit%s\n", static_cast<int>(sizeof(void*) * 8),
                wow64 ? " WoW64" : "");
    return 0;
}
