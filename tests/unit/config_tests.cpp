// The configuration file's path, its section list and the loader's messages
// and failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "LogCapture.h"
#include "config/ConfigPath.h"
#include "config/ReconnectSetting.h"
#include "config/TopicConfigLoader.h"

namespace {

// Allocations that succeed before one fails (once); -1: none fails.
int gAllocationsBeforeFailure = -1;

}  // namespace

void* operator new(std::size_t size) {
    if (gAllocationsBeforeFailure >= 0 && gAllocationsBeforeFailure-- == 0) {
        throw std::bad_alloc();
    }
    if (void* block = std::malloc(size == 0 ? 1 : size)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept {
    std::free(block);
}

void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}

namespace korven {
namespace {

TEST(ConfigPath, FitsExactlyTheRoomOf260Bytes) {
    // "\KORVEN.ini" is 11 bytes; with the NUL a 248-byte directory fills 260.
    const std::string fits(248, 'd');
    auto path = joinConfigPath(fits);
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(path->size(), 259u);
    EXPECT_EQ(path->substr(248), "\\KORVEN.ini");
    EXPECT_FALSE(joinConfigPath(std::string(249, 'd')).has_value());
    EXPECT_EQ(*joinConfigPath("C:\\plant"), "C:\\plant\\KORVEN.ini");
}

TEST(SectionNames, ListEndsAtTheEmptyName) {
    const char list[] = "Line1\0Remote\0\0Ignored\0";
    EXPECT_EQ(parseSectionNames(list, sizeof list), (std::vector<std::string>{"Line1", "Remote"}));
    const char empty[] = "\0";
    EXPECT_TRUE(parseSectionNames(empty, sizeof empty).empty());
    EXPECT_TRUE(parseSectionNames(empty, 0).empty());
}

TEST(SectionNames, ListCutAtTheRoomsEndLosesItsPartialName) {
    // Buffers of 16 bytes as GetPrivateProfileSectionNamesA fills them under
    // Wine: a list that does not fit comes back as 14 characters.
    const char whole[16] = "Line1\0Line22\0";  // 13 characters: fits
    auto list = readSectionList(whole, 16, 13);
    EXPECT_EQ(list.names, (std::vector<std::string>{"Line1", "Line22"}));
    EXPECT_FALSE(list.cut);

    // "Line1 Line2 ABC" (one byte more than fits) and "Line1 Line2 AB" (all
    // of the room) both come back as this: AB may be cut, so it is not taken.
    const char partial[16] = "Line1\0Line2\0AB";
    list = readSectionList(partial, 16, 14);
    EXPECT_EQ(list.names, (std::vector<std::string>{"Line1", "Line2"}));
    EXPECT_TRUE(list.cut);

    // Cut between two names, or a whole list of just that length: every name
    // read is whole, and a later one may be missing.
    const char between[16] = "Line1\0Line234\0";
    list = readSectionList(between, 16, 14);
    EXPECT_EQ(list.names, (std::vector<std::string>{"Line1", "Line234"}));
    EXPECT_TRUE(list.cut);

    const char single[16] = "ABCDEFGHIJKLMN";  // one name longer than the room
    list = readSectionList(single, 16, 14);
    EXPECT_TRUE(list.names.empty());
    EXPECT_TRUE(list.cut);
}

TEST(ReconnectSetting, ZeroOrFiveToThreeThousandSixHundredSeconds) {
    EXPECT_EQ(parseReconnectSeconds(""), 0u);
    EXPECT_EQ(parseReconnectSeconds("0"), 0u);
    EXPECT_EQ(parseReconnectSeconds("5"), 5u);
    EXPECT_EQ(parseReconnectSeconds("3600"), 3600u);
    EXPECT_EQ(parseReconnectSeconds("0030"), 30u);
    for (const char* refused : {"4", "1", "3601", "99999999999", "-5", "5s", "1e3", "30 "}) {
        EXPECT_FALSE(parseReconnectSeconds(refused).has_value()) << refused;
    }
}

TEST(TopicErrorMessage, OtherCodesCarryTheErrorText) {
    EXPECT_EQ(topicErrorMessage("Line1", "P", static_cast<HRESULT>(0x8004FFF0)),
              L"「Line1」IDispatch error #65008(-2147155984)");
    EXPECT_EQ(topicErrorMessage("Line1", "P", static_cast<HRESULT>(0xA7654321)),
              L"「Line1」Unknown error 0xA7654321(-1486535903)");
    // A code the system has a message for: test_values' CreateFailsWithOtherCode.
}

// The current directory changed to a new empty folder while it lives.
class EmptyCurrentDirectory {
  public:
    EmptyCurrentDirectory() {
        GetCurrentDirectoryA(MAX_PATH, previous_);
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        GetTempFileNameA(temp, "kor", 0, folder_);
        DeleteFileA(folder_);
        CreateDirectoryA(folder_, nullptr);
        SetCurrentDirectoryA(folder_);
    }
    ~EmptyCurrentDirectory() {
        SetCurrentDirectoryA(previous_);
        RemoveDirectoryA(folder_);
    }

  private:
    char previous_[MAX_PATH] = {};
    char folder_[MAX_PATH] = {};
};

TEST(TopicConfiguration, AFailedAllocationAnywhereFailsLoadingWithALine) {
    EmptyCurrentDirectory folder;
    test::LogCapture log;
    for (int before = 0; before < 1000; ++before) {
        log.clear();
        bool loaded = false;
        EXPECT_NO_THROW({
            gAllocationsBeforeFailure = before;
            loaded = loadTopicConfiguration();
        }) << "allocation "
           << before;
        const bool failed = gAllocationsBeforeFailure < 0;
        gAllocationsBeforeFailure = -1;
        if (!failed) {
            EXPECT_TRUE(loaded);  // every allocation was made: nothing to load
            return;
        }
        if (!loaded) {
            EXPECT_EQ(
                log.errorLines(),
                std::vector<std::wstring>{L"異常：トピック設定の読み込みに失敗。(std::bad_alloc)"})
                << "allocation " << before;
        }
    }
    FAIL() << "loading never ran without a failed allocation";
}

}  // namespace
}  // namespace korven
