#include "config/SectionList.h"

#include <algorithm>
#include <cstring>

namespace korven {

std::vector<std::string> parseSectionNames(const char* list, std::size_t size) {
    std::vector<std::string> names;
    std::size_t at = 0;
    while (at < size && list[at] != '\0') {
        const void* end = std::memchr(list + at, '\0', size - at);
        const std::size_t length =
            end ? static_cast<std::size_t>(static_cast<const char*>(end) - (list + at)) : size - at;
        names.emplace_back(list + at, length);
        at += length + 1;
    }
    return names;
}

SectionList readSectionList(const char* buffer, std::size_t room, std::size_t returned) {
    SectionList list;
    if (room == 0) {
        return list;
    }
    const std::size_t length = std::min(returned, room - 1);
    list.names = parseSectionNames(buffer, length);
    // A list that does not fit comes back as room - 2 characters, its last
    // name cut where the room ended. Under Wine a whole list that needs
    // room - 1 bytes with its final NUL comes back the same, so it counts as
    // cut too: a later section may be missing.
    list.cut = returned + 2 == room;
    std::size_t read = 0;
    for (const std::string& name : list.names) {
        read += name.size() + 1;
    }
    // The last name runs up to the cut: only the start of a longer name.
    if (list.cut && read == length + 1) {
        list.names.pop_back();
    }
    return list;
}

}  // namespace korven
