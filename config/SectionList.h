#pragma once
// The section names of KORVEN.ini as GetPrivateProfileSectionNamesA leaves
// them in a buffer: pure parsing, free of Windows headers, so the same source
// also builds on the host (tests/fuzz).
#include <cstddef>
#include <string>
#include <vector>

namespace korven {

// The section names of a list as GetPrivateProfileSectionNamesA writes it
// (names separated by NUL, ended by an empty name), never reading past size.
std::vector<std::string> parseSectionNames(const char* list, std::size_t size);

// The names GetPrivateProfileSectionNamesA left in a buffer of `room` bytes,
// given what it returned, and whether the list was cut there.
struct SectionList {
    std::vector<std::string> names;
    bool cut = false;  // sections after `names` were not read
};
SectionList readSectionList(const char* buffer, std::size_t room, std::size_t returned);

}  // namespace korven
