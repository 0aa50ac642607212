#pragma once
// Turns KORVEN.ini into the set of topics: one topic group per section.
#include <windows.h>

#include <string>
#include <vector>

#include "config/SectionList.h"

namespace korven {

constexpr size_t kSectionListRoom = 1024;
constexpr size_t kKeyValueRoom = 32;
constexpr const char* kDefaultProgId = "Velmora.Ctrl9.1";

// The error line (after "異常：") for a topic group whose construction raised hr.
std::wstring topicErrorMessage(const char* section, const char* progId, HRESULT hr);

// Creates and enters every topic's group; false after the first error, which
// has then been written. Raises nothing.
bool loadTopicConfiguration();

}  // namespace korven
