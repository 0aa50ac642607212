// What a DDE client receives: the reply-text rows, the data handle's bytes,
// and the callback's dispatch of every transaction type.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "FakeDdeInstance.h"
#include "FakeOpcServer.h"
#include "LogCapture.h"
#include "dde/ConversationSweep.h"
#include "dde/DdeCallback.h"
#include "dde/DdeService.h"
#include "dde/ArrayText.h"
#include "dde/ItemValueText.h"
#include "dde/LinkedConversations.h"
#include "opc/TopicGroup.h"
#include "opc/TopicTable.h"

namespace korven {
namespace {

using test::FakeDdeInstance;
using test::LogCapture;

class ReplyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        group = test::makeTopicGroup();
        item = dde.handle(L"Boiler.Temp");
        DdeTransaction start;
        start.conversation = reinterpret_cast<HCONV>(1);
        start.item = item;
        group->adviseStart(start);
    }
    ItemEntry& entry() { return group->itemTable.at(keyOf(item)); }
    // The bytes of the handle a request makes.
    std::string requested(HSZ which, UINT format = CF_TEXT) {
        DdeTransaction request;
        request.type = XTYP_REQUEST;
        request.format = format;
        request.item = which;
        HDDEDATA handle = group->requestData(request);
        EXPECT_NE(handle, nullptr);
        const auto& data = dde.dataHandles.back();
        EXPECT_EQ(data.format, format);
        EXPECT_EQ(data.flags, 0u);
        EXPECT_EQ(data.offset, 0u);
        EXPECT_EQ(data.item, keyOf(which));
        return data.bytes;
    }
    std::string requested() { return requested(item); }

    FakeDdeInstance dde;
    test::FakeOpcServer server;
    test::FakeServerActivation activation;
    LogCapture log;
    std::unique_ptr<TopicGroup> group;
    HSZ item = nullptr;
};

TEST_F(ReplyTest, MarkersInRowOrder) {
    EXPECT_EQ(requested(), std::string("#EMPTY\0", 7));
    entry().reservedWord = 7;
    EXPECT_EQ(requested(), std::string("#ERR:DATA(7)\0", 13));
    entry().reservedWord = 65535;
    EXPECT_EQ(requested(), std::string("#ERR:DATA(65535)\0", 17));
    entry().addError = E_FAIL;  // takes precedence over the data error
    EXPECT_EQ(requested(), std::string("#ERR:ADD(-2147467259)\0", 22));
    entry().addError = -1;
    EXPECT_EQ(requested(), std::string("#ERR:ADD(-1)\0", 13));
    entry().addError = static_cast<HRESULT>(0x80000000);
    EXPECT_EQ(requested(), std::string("#ERR:ADD(-2147483648)\0", 22));
}

TEST_F(ReplyTest, StringValues) {
    V_VT(&entry().value) = VT_BSTR;
    V_BSTR(&entry().value) = SysAllocString(L"");
    EXPECT_EQ(requested(), std::string("(null)\0", 7));
    VariantClear(&entry().value);
    V_VT(&entry().value) = VT_BSTR;
    V_BSTR(&entry().value) = nullptr;
    EXPECT_EQ(requested(), std::string("(null)\0", 7));
    V_BSTR(&entry().value) = SysAllocStringLen(L"ab\0cd", 5);
    EXPECT_EQ(requested(), std::string("ab\0", 3));
    VariantClear(&entry().value);
    V_VT(&entry().value) = VT_BSTR;
    V_BSTR(&entry().value) = SysAllocString(L"#ERR:TYPE(VT=8197)");
    EXPECT_EQ(requested(), std::string("#ERR:TYPE(VT=8197)\0", 19));
}

TEST_F(ReplyTest, ValueWithoutTextFormGetsAMarkerNotAnEscape) {
    SAFEARRAY* array = SafeArrayCreateVector(VT_R8, 0, 2);
    V_VT(&entry().value) = VT_ARRAY | VT_R8;
    V_ARRAY(&entry().value) = array;
    EXPECT_EQ(requested(), std::string("#ERR:TYPE(VT=8197)\0", 19));
    EXPECT_EQ(textErrorMarker(DISP_E_TYPEMISMATCH), "#ERR:TEXT(-2147352571)");
    V_VT(&entry().value) = VT_NULL;
    V_ARRAY(&entry().value) = nullptr;
    SafeArrayDestroy(array);
    const std::string nullText = requested();
    EXPECT_EQ(nullText.rfind("#ERR:TEXT(", 0), 0u) << nullText;
}

// The UTF-16 value text and "#NOTHING" are seen end to end; the marker of a
// value without a text form only here.
TEST_F(ReplyTest, UnicodeMarkersAndNoDataInOtherFormats) {
    V_VT(&entry().value) = VT_NULL;
    const std::string bytes = requested(item, CF_UNICODETEXT);
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2);
    EXPECT_EQ(text.rfind(L"#ERR:TEXT(", 0), 0u);
    EXPECT_EQ(text.substr(text.size() - 2), std::wstring(L")\0", 2));
    const size_t made = dde.dataHandles.size();
    DdeTransaction request;
    request.type = XTYP_REQUEST;
    request.item = item;
    for (UINT format : {static_cast<UINT>(CF_OEMTEXT), 0xC123u}) {
        request.format = format;
        EXPECT_EQ(group->requestData(request), nullptr);
    }
    EXPECT_EQ(dde.dataHandles.size(), made);
    // Advise data stays CF_TEXT.
    request.format = CF_UNICODETEXT;
    group->adviseData(request);
    EXPECT_EQ(dde.dataHandles.back().format, static_cast<UINT>(CF_TEXT));
}

class DispatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const wchar_t* name : {L"Line1", L"Line2"}) {
            auto group = test::makeTopicGroup(name);
            const HandleKey key = keyOf(group->topicHandle);
            topicTable().emplace(key, std::move(group));
        }
        log.clear();
    }
    void TearDown() override {
        topicTable().clear();
        linkedConversations().clear();
    }

    INT_PTR call(UINT type, UINT format, UINT_PTR conversation, HSZ topic, HSZ item) {
        return reinterpret_cast<INT_PTR>(ddeCallback(
            type, format, reinterpret_cast<HCONV>(conversation), topic, item, nullptr, 0, 0));
    }

    FakeDdeInstance dde;
    test::FakeOpcServer server;
    test::FakeServerActivation activation;
    LogCapture log;
};

TEST_F(DispatchTest, WildConnectOffersThePairsThatFitTheGivenNames) {
    struct Registration {
        Registration() { EXPECT_TRUE(registerDdeService()); }
        ~Registration() { unregisterDdeService(); }
    } registration;
    const HandleKey service = keyOf(dde.handle(L"KORVEN"));
    const HandleKey system = keyOf(dde.handle(L"System"));
    const HandleKey line1 = keyOf(dde.handle(L"Line1"));
    const HandleKey line2 = keyOf(dde.handle(L"Line2"));
    using Pairs = std::vector<std::pair<HandleKey, HandleKey>>;
    // The pairs of the HSZPAIR array a wildcard connect answers, up to its null pair.
    auto offered = [&](HSZ topic, HSZ serviceName) {
        const size_t made = dde.dataHandles.size();
        if (call(XTYP_WILDCONNECT, 0, 0, topic, serviceName) == 0) {
            EXPECT_EQ(dde.dataHandles.size(), made);
            return Pairs{};
        }
        const std::string& bytes = dde.dataHandles.back().bytes;
        const auto* pairs = reinterpret_cast<const HSZPAIR*>(bytes.data());
        const size_t count = bytes.size() / sizeof(HSZPAIR);
        EXPECT_EQ(pairs[count - 1].hszSvc, nullptr);
        EXPECT_EQ(pairs[count - 1].hszTopic, nullptr);
        Pairs result;
        for (size_t i = 0; i + 1 < count; ++i) {
            result.emplace_back(keyOf(pairs[i].hszSvc), keyOf(pairs[i].hszTopic));
        }
        return result;
    };
    // Configured topics in ascending handle order (Line2's is the lower), then System.
    const Pairs all{{service, line2}, {service, line1}, {service, system}};
    EXPECT_EQ(offered(nullptr, nullptr), all);
    EXPECT_EQ(offered(nullptr, dde.handle(L"korven")), all);
    EXPECT_EQ(offered(dde.handle(L"LINE1"), nullptr), (Pairs{{service, line1}}));
    EXPECT_EQ(offered(dde.handle(L"system"), nullptr), (Pairs{{service, system}}));
    EXPECT_EQ(offered(nullptr, dde.handle(L"Excel")), Pairs{});
    EXPECT_EQ(offered(dde.handle(L"Line3"), nullptr), Pairs{});
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(DispatchTest, DisconnectReachesEveryGroup) {
    HSZ line1 = dde.handle(L"Line1");
    HSZ line2 = dde.handle(L"Line2");
    call(XTYP_ADVSTART, CF_TEXT, 5, line2, dde.handle(L"B"));
    call(XTYP_ADVSTART, CF_TEXT, 5, line1, dde.handle(L"A"));
    log.clear();
    EXPECT_EQ(call(XTYP_DISCONNECT, 0, 5, nullptr, nullptr), 1);
    // Groups in ascending topic-handle order: Line1's handle is the higher one here.
    EXPECT_EQ(log.infoLines(), (std::vector<std::wstring>{
                                   L"情報：「Line2」アイテム「B」のリンク解除。(0)",
                                   L"情報：「Line1」アイテム「A」のリンク解除。(0)",
                               }));
}

TEST_F(DispatchTest, DeadPartnersAreDisconnectedOnceAndOnlyLinkedOnesAreAsked) {
    HSZ line1 = dde.handle(L"Line1");
    HSZ line2 = dde.handle(L"Line2");
    call(XTYP_ADVSTART, CF_TEXT, 5, line2, dde.handle(L"B"));
    call(XTYP_ADVSTART, CF_TEXT, 5, line1, dde.handle(L"A"));
    call(XTYP_ADVSTART, CF_TEXT, 5, line1, dde.handle(L"E"));
    call(XTYP_ADVSTART, CF_TEXT, 6, line1, dde.handle(L"A"));
    call(XTYP_ADVSTART, CF_TEXT, 7, line1, dde.handle(L"C"));
    call(XTYP_ADVSTOP, CF_TEXT, 7, line1, dde.handle(L"C"));
    call(XTYP_ADVSTART, CF_TEXT, 8, line1, dde.handle(L"D"));
    call(XTYP_DISCONNECT, 0, 8, nullptr, nullptr);
    dde.deadPartners = {5, 7, 8};
    log.clear();

    sweepDeadConversations();
    // 7 holds no link any more and 8 is gone: neither is asked about.
    EXPECT_EQ(dde.partnerChecks, (std::vector<HandleKey>{5, 6}));
    // What a disconnect writes: groups in key order, A still linked through 6.
    EXPECT_EQ(log.infoLines(), (std::vector<std::wstring>{
                                   L"情報：「Line2」アイテム「B」のリンク解除。(0)",
                                   L"情報：「Line1」アイテム「E」のリンク解除。(1)",
                               }));
    EXPECT_EQ(findTopicGroup(line1)->itemTable.at(keyOf(dde.handle(L"A"))).linkCount, 1);

    sweepDeadConversations();
    EXPECT_EQ(dde.partnerChecks, (std::vector<HandleKey>{5, 6, 6}));
    EXPECT_EQ(log.infoLines().size(), 2u);
}

// A value's quality marks its text only where the topic asks: bad (and the
// reserved class) from Quality=mark on, uncertain from strict on, good
// never; the marker carries the whole quality word.
TEST(QualityMarker, ClassesAtTheirBoundaries) {
    struct Case {
        WORD quality;
        const char* mark;
        const char* strict;
    };
    const Case cases[] = {
        {0x00, "#BAD(0)", "#BAD(0)"},
        {0x3F, "#BAD(63)", "#BAD(63)"},
        {0x40, nullptr, "#UNCERTAIN(64)"},
        {0x7F, nullptr, "#UNCERTAIN(127)"},
        {0x80, "#BAD(128)", "#BAD(128)"},
        {0xBF, "#BAD(191)", "#BAD(191)"},
        {0xC0, nullptr, nullptr},
        {0xFF, nullptr, nullptr},
        {0x1118, "#BAD(4376)", "#BAD(4376)"},
        {0x10C0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(qualityMarker(c.quality, QualityMarks::Hide)) << c.quality;
        EXPECT_EQ(qualityMarker(c.quality, QualityMarks::Mark).value_or(""), c.mark ? c.mark : "")
            << c.quality;
        EXPECT_EQ(qualityMarker(c.quality, QualityMarks::Strict).value_or(""),
                  c.strict ? c.strict : "")
            << c.quality;
    }
}

// Arrays read as rows: elements by the rules of their type's scalars, bounds
// wherever they start; what cannot be shown gives nothing (the caller's
// marker).
// Element types, bounds, grids, empty arrays and VARIANT elements are read
// end to end (test_marks) and in the store's tests; three dimensions only here.
TEST(ArrayText, MoreThanTwoDimensionsHaveNoText) {
    SAFEARRAYBOUND cube[] = {{1, 0}, {1, 0}, {1, 0}};
    SAFEARRAY* deep = SafeArrayCreate(VT_I4, 3, cube);
    EXPECT_FALSE(arrayText(deep, VT_I4));
    SafeArrayDestroy(deep);
}

// A post asks for every link on the item's name: data only for a link its
// conversation holds on the posting topic. A conversation found dead still
// has its link in Wine's DDEML, which stops the post at it when handed data.
TEST_F(DispatchTest, AdviseRequestsGetDataOnlyForLinksTheTopicHolds) {
    HSZ line1 = dde.handle(L"Line1");
    HSZ line2 = dde.handle(L"Line2");
    HSZ a = dde.handle(L"A");
    for (UINT_PTR conversation : {5, 6, 7, 8}) {
        dde.conversationTopics[static_cast<HandleKey>(conversation)] = line1;
        call(XTYP_ADVSTART, CF_TEXT, conversation, line1, a);
    }
    dde.conversationTopics[9] = line2;
    call(XTYP_ADVSTART, CF_TEXT, 9, line2, a);
    call(XTYP_ADVSTOP, CF_TEXT, 6, line1, a);
    call(XTYP_DISCONNECT, 0, 7, nullptr, nullptr);
    dde.deadPartners = {8};
    sweepDeadConversations();

    std::vector<UINT_PTR> answered;
    for (UINT_PTR conversation : {5, 6, 7, 8, 9}) {
        if (call(XTYP_ADVREQ, CF_TEXT, conversation, line1, a) != 0) {
            answered.push_back(conversation);
        }
    }
    EXPECT_EQ(answered, std::vector<UINT_PTR>{5});
}

}  // namespace
}  // namespace korven
