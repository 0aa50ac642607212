// Text conversions, the log's bytes and the COM error texts.
#include <gtest/gtest.h>

#include <comdef.h>

#include <cstring>
#include <string>

#include "common/ComErrorText.h"
#include "common/ConsoleLog.h"
#include "common/LogQueue.h"
#include "common/SharedText.h"
#include "common/TextConversion.h"

namespace korven {
namespace {

constexpr UINT kShiftJis = 932;

struct BstrOwner {
    BSTR text;
    ~BstrOwner() { SysFreeString(text); }
};

TEST(TextConversion, NullGivesNull) {
    EXPECT_EQ(narrowToWide(nullptr), nullptr);
    EXPECT_EQ(wideToNarrow(nullptr), nullptr);
}

TEST(TextConversion, DoubleByteCodePageRoundTrip) {
    // 「ボイラー温度」 in code page 932: two bytes per character.
    const char sjis[] = "\x83\x7b\x83\x43\x83\x89\x81\x5b\x89\xb7\x93\x78";
    BstrOwner wide{narrowToWide(sjis, kShiftJis)};
    EXPECT_STREQ(wide.text, L"ボイラー温度");
    EXPECT_EQ(SysStringLen(wide.text), 6u);
    std::unique_ptr<char[]> back(wideToNarrow(wide.text, kShiftJis));
    EXPECT_STREQ(back.get(), sjis);
    EXPECT_EQ(std::strlen(back.get()), 12u);
}

TEST(TextConversion, WideStopsAtFirstNul) {
    const wchar_t text[] = L"ab\0cd";
    std::unique_ptr<char[]> narrow(wideToNarrow(text, kShiftJis));
    EXPECT_STREQ(narrow.get(), "ab");
}

TEST(TextConversion, ScratchBoundaryAt4096) {
    // Lengths around the point where the scratch moves from stack to heap.
    const size_t k = kStackScratchChars;
    for (size_t length : {k - 2, k - 1, k, k + 1, 3 * k}) {
        std::string narrow(length, 'x');
        narrow[0] = 'A';
        narrow[length - 1] = 'Z';
        BstrOwner wide{narrowToWide(narrow.c_str())};
        ASSERT_EQ(SysStringLen(wide.text), length) << length;
        EXPECT_EQ(wide.text[0], L'A');
        EXPECT_EQ(wide.text[length - 1], L'Z');
    }
}

TEST(TextConversion, InvalidCodePageRaisesLastError) {
    try {
        BstrOwner wide{narrowToWide("abc", 12345)};
        FAIL() << "no error raised";
    } catch (const _com_error& error) {
        EXPECT_EQ(error.Error(), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
    }
}

TEST(SharedText, CopiesShareOneNarrowCopy) {
    SharedText text = SharedText::fromWide(L"Line1");
    SharedText copy = text;
    const char* narrow = text.narrow();
    EXPECT_STREQ(narrow, "Line1");
    EXPECT_EQ(copy.narrow(), narrow);  // made once, kept, shared
    EXPECT_EQ(copy.wide(), text.wide());
}

TEST(SharedText, AbsentAndEmptyTexts) {
    SharedText none;
    EXPECT_FALSE(none.present());
    EXPECT_EQ(none.narrow(), nullptr);
    EXPECT_EQ(none.length(), 0u);
    SharedText fromNull = SharedText::fromWide(nullptr);
    EXPECT_FALSE(fromNull.present());
    SharedText empty = SharedText::fromNarrow("");
    EXPECT_TRUE(empty.present());
    EXPECT_STREQ(empty.narrow(), "");
}

TEST(ComErrorText, FallbackForms) {
    EXPECT_EQ(comErrorFallbackText(static_cast<HRESULT>(0x80040201)), "IDispatch error #1");
    EXPECT_EQ(comErrorFallbackText(static_cast<HRESULT>(0x8004FFFF)), "IDispatch error #65023");
    // Just outside the dispatch range on both sides.
    EXPECT_EQ(comErrorFallbackText(static_cast<HRESULT>(0x80040200)), "Unknown error 0x80040200");
    EXPECT_EQ(comErrorFallbackText(static_cast<HRESULT>(0x80050000)), "Unknown error 0x80050000");
    EXPECT_EQ(comErrorFallbackText(static_cast<HRESULT>(0x1)), "Unknown error 0x1");
    EXPECT_EQ(comErrorFallbackText(static_cast<HRESULT>(0xABCDEF)), "Unknown error 0xABCDEF");
}

TEST(ComErrorText, TrimsOneLineEnd) {
    std::string crlf = "Failed\r\n";
    trimMessageLineEnd(crlf);
    EXPECT_EQ(crlf, "Failed");
    std::string lf = "Failed\n\n";
    trimMessageLineEnd(lf);
    EXPECT_EQ(lf, "Failed\n");
    std::string cr = "Failed\r";
    trimMessageLineEnd(cr);
    EXPECT_EQ(cr, "Failed\r");
}

// The log's queue: lines in order up to the bound, the newest dropped beyond
// it, and one line where they went missing, counted, once room is made.
TEST(LogQueue, DropsTheNewestBeyondTheBoundAndSaysHowManyWhereTheyWent) {
    LogQueue queue(100, [](unsigned long n) { return "gap " + std::to_string(n); });
    EXPECT_TRUE(queue.push(false, std::string(40, 'a')));
    EXPECT_TRUE(queue.push(true, std::string(60, 'b')));  // exactly the bound
    EXPECT_FALSE(queue.push(false, "c"));
    EXPECT_FALSE(queue.push(false, "d"));
    std::deque<QueuedLine> first = queue.takeAll();
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0].bytes, std::string(40, 'a'));
    EXPECT_TRUE(first[1].isError);
    EXPECT_EQ(first[2].bytes, "gap 2");
    EXPECT_TRUE(first[2].isError);
    // Taken lines keep their room until they are written.
    EXPECT_FALSE(queue.push(false, "e"));
    queue.written(40);
    EXPECT_TRUE(queue.push(false, "f"));
    queue.written(65);
    std::deque<QueuedLine> second = queue.takeAll();
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0].bytes, "gap 1");
    EXPECT_EQ(second[1].bytes, "f");
    EXPECT_TRUE(queue.takeAll().empty());
}

}  // namespace
}  // namespace korven
