// Fuzz target: the section-name list that GetPrivateProfileSectionNamesA
// leaves in the loader's buffer. The first two bytes of an input are the
// count the call returned, the rest is the buffer (its room): every name must
// be the bytes between two NULs of the buffer, read no further than asked.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/SectionList.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "section_fuzz: %s\n", what);
        std::abort();
    }
}

// The names are the list's NUL-separated runs, in order, up to the first
// empty one, all within `size` bytes.
void checkNames(const char* list, std::size_t size, const std::vector<std::string>& names) {
    std::size_t at = 0;
    for (const std::string& name : names) {
        check(!name.empty(), "empty name");
        check(at + name.size() <= size, "name past the list");
        check(std::memcmp(list + at, name.data(), name.size()) == 0, "name bytes");
        at += name.size();
        check(at == size || list[at] == '\0', "name does not end at a NUL or the list's end");
        ++at;
    }
    check(at >= size || list[at] == '\0', "names stop before the list's end");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t returned = data[0] | (data[1] << 8);
    const char* buffer = reinterpret_cast<const char*>(data + 2);
    const std::size_t room = size - 2;

    const std::vector<std::string> all = korven::parseSectionNames(buffer, room);
    checkNames(buffer, room, all);
    check(korven::parseSectionNames(buffer, room) == all, "second parse differs");

    const korven::SectionList list = korven::readSectionList(buffer, room, returned);
    if (room == 0) {
        check(list.names.empty() && !list.cut, "names from no room");
        return 0;
    }
    const std::size_t length = returned < room - 1 ? returned : room - 1;
    const std::vector<std::string> read = korven::parseSectionNames(buffer, length);
    check(list.cut == (returned + 2 == room), "cut flag");
    if (!list.cut) {
        check(list.names == read, "whole list lost names");
    } else {
        // A cut list keeps every name, or all but the last one, which may be
        // the start of a longer name.
        check(list.names.size() == read.size() || list.names.size() + 1 == read.size(),
              "cut list dropped more than its last name");
        check(std::equal(list.names.begin(), list.names.end(), read.begin()), "cut list names");
    }
    return 0;
}
