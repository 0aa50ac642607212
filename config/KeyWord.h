#pragma once
// A key that takes one of a few words: each word and the setting it stands
// for. The first word is the default, which an empty value stands for too.
#include <windows.h>

#include <cstddef>
#include <optional>

namespace korven {

template <class Setting>
struct KeyWord {
    const char* word;
    Setting setting;
};

// The setting `value` stands for (the words compared in any letter case);
// nothing for any other text.
template <class Setting, std::size_t N>
std::optional<Setting> parseKeyWord(const char* value, const KeyWord<Setting> (&words)[N]) {
    if (value == nullptr || *value == '\0') {
        return words[0].setting;
    }
    for (const KeyWord<Setting>& word : words) {
        if (lstrcmpiA(value, word.word) == 0) {
            return word.setting;
        }
    }
    return std::nullopt;
}

}  // namespace korven
