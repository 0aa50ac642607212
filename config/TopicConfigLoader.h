#pragma once
// Turns KORVEN.ini into the set of topics: one topic group per section.
#include <windows.h>

#include <string>
#include <vector>

namespace korven {

constexpr size_t kSectionListRoom = 1024;
constexpr size_t kKeyValueRoom = 32;
constexpr const char* kDefaultProgId = "Velmora.Ctrl9.1";

// The section names of a list as GetPrivateProfileSectionNamesA writes it
// (names separated by NUL, ended by an empty name), never reading past size.
std::vector<std::string> parseSectionNames(const char* list, size_t size);

// The names GetPrivateProfileSectionNamesA left in a buffer of `room` bytes,
// given what it returned, and whether the list was cut there.
struct SectionList {
    std::vector<std::string> names;
    bool cut = false;  // sections after `names` were not read
};
SectionList readSectionList(const char* buffer, size_t room, size_t returned);

// The error line (after "異常：") for a topic group whose construction raised hr.
std::wstring topicErrorMessage(const char* section, const char* progId, HRESULT hr);

// Creates and enters every topic's group; false after the first error, which
// has then been written. Raises nothing.
bool loadTopicConfiguration();

}  // namespace korven
