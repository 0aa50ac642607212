// The configuration file's path, its section list and the loader's messages.
#include <gtest/gtest.h>

#include <string>

#include "config/ConfigPath.h"
#include "config/TopicConfigLoader.h"

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

TEST(SectionNames, NeverReadsPastTheBuffer) {
    // A list cut without its terminators: the last name ends at the buffer.
    const char cut[] = {'A', '\0', 'B', 'C'};
    EXPECT_EQ(parseSectionNames(cut, sizeof cut), (std::vector<std::string>{"A", "BC"}));
    const char noNul[] = {'X', 'Y'};
    EXPECT_EQ(parseSectionNames(noNul, sizeof noNul), (std::vector<std::string>{"XY"}));
}

TEST(TopicErrorMessage, ConnectionAndClassStringForms) {
    EXPECT_EQ(topicErrorMessage("Line1", "Velmora.Ctrl9.1", E_FAIL),
              L"「Line1」へ接続出来ません。(-2147467259)");
    EXPECT_EQ(topicErrorMessage("Line1", "No.Such.Server", CO_E_CLASSSTRING),
              L"「Line1」に「No.Such.Server」が存在しません。(-2147221005)");
}

TEST(TopicErrorMessage, OtherCodesCarryTheErrorText) {
    EXPECT_EQ(topicErrorMessage("Line1", "P", static_cast<HRESULT>(0x8004FFF0)),
              L"「Line1」IDispatch error #65008(-2147155984)");
    EXPECT_EQ(topicErrorMessage("Line1", "P", static_cast<HRESULT>(0xA7654321)),
              L"「Line1」Unknown error 0xA7654321(-1486535903)");
    // A code the system has a message for: its text stands between name and code.
    const std::wstring denied = topicErrorMessage("T", "P", E_ACCESSDENIED);
    EXPECT_EQ(denied.rfind(L"(-2147024891)"), denied.size() - 13);
    EXPECT_GT(denied.size(), std::wstring(L"「T」(-2147024891)").size());
    EXPECT_EQ(denied.find(L"Unknown error"), std::wstring::npos);
}

}  // namespace
}  // namespace korven
