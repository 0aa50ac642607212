// Decoding of data-change blocks: the layout, the record width, the values as
// they are stored, and what reaches the item table. The bounds of the block
// (cuts, lying counts, offsets and byte counts, shared texts) are the fuzz
// target's: tests/fuzz.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FakeDdeInstance.h"
#include "FakeOpcServer.h"
#include "LogCapture.h"
#include "dde/ItemValueText.h"
#include "items/DataCallbackSink.h"
#include "items/DataChangeStream.h"
#include "items/StreamValue.h"
#include "opc/ServerSession.h"
#include "opc/TopicChannel.h"
#include "opc/TopicGroup.h"

namespace korven {
namespace {

// Builds blocks as a server lays them out.
class BlockBuilder {
  public:
    struct Item {
        DWORD handle;
        WORD type;
        std::uint64_t payload = 0;
        std::wstring text;  // VT_BSTR
        WORD quality = 0xC0;
        WORD reserved = 0;
        std::vector<double> elements = {};  // VT_ARRAY | VT_R8, one dimension
    };

    std::vector<std::uint8_t> build(const std::vector<Item>& items, HRESULT status = S_OK,
                                    size_t width = kValueRecordSize) const {
        std::vector<std::uint8_t> block(kGroupHeaderSize + kItemHeaderSize * items.size());
        put32(block, 4, static_cast<DWORD>(items.size()));
        put32(block, 16, static_cast<DWORD>(status));
        for (size_t k = 0; k < items.size(); ++k) {
            const Item& item = items[k];
            const size_t header = kGroupHeaderSize + kItemHeaderSize * k;
            put32(block, header, item.handle);
            put32(block, header + 4, static_cast<DWORD>(block.size()));
            put16(block, header + 8, item.quality);
            put16(block, header + 10, item.reserved);
            const size_t value = block.size();
            block.resize(value + width);
            put16(block, value, item.type);
            std::memcpy(block.data() + value + 8, &item.payload, 8);
            if (item.type == VT_BSTR) {
                const DWORD bytes = static_cast<DWORD>(item.text.size() * 2);
                block.resize(block.size() + 4 + bytes + 2);
                put32(block, value + width, bytes);
                std::memcpy(block.data() + value + width + 4, item.text.data(), bytes);
            } else if (item.type & VT_ARRAY) {
                // The server's SAFEARRAY as it lies in its memory, as wide as
                // its pointers, then the elements.
                const size_t header = block.size();
                const size_t fixed = width == kValueRecordSize ? 16 : 24;
                const DWORD bytes = static_cast<DWORD>(item.elements.size() * sizeof(double));
                block.resize(header + fixed + 8 + bytes);
                put16(block, header, 1);                     // cDims
                put16(block, header + 2, FADF_HAVEVARTYPE);  // fFeatures
                put32(block, header + 4, sizeof(double));    // cbElements
                put32(block, header + fixed, static_cast<DWORD>(item.elements.size()));
                std::memcpy(block.data() + header + fixed + 8, item.elements.data(), bytes);
            }
        }
        put32(block, 0, static_cast<DWORD>(block.size()));
        return block;
    }
    static void put32(std::vector<std::uint8_t>& b, size_t at, DWORD v) {
        std::memcpy(b.data() + at, &v, 4);
    }
    static void put16(std::vector<std::uint8_t>& b, size_t at, WORD v) {
        std::memcpy(b.data() + at, &v, 2);
    }
};

std::uint64_t bitsOf(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, 8);
    return bits;
}

TEST(StreamDecoding, RecordWidthIsToldByTheBlock) {
    const std::vector<BlockBuilder::Item> items = {
        {0xC001, VT_I4, 7}, {0xC002, VT_BSTR, 0, L"運転中"}, {0xC003, VT_R8, bitsOf(21.5)}};
    // A block that carries a string agrees with one width only.
    for (size_t width : {kValueRecordSize, kWideValueRecordSize}) {
        const auto block = BlockBuilder().build(items, S_FALSE, width);
        const DataChangeBlock decoded = decodeDataChangeBlock(block.data(), block.size());
        EXPECT_EQ(decoded.recordWidth, width);
        EXPECT_EQ(decoded.badItem, -1);
        ASSERT_EQ(decoded.items.size(), 3u) << width;
        EXPECT_EQ(decoded.items[0].plain.bits, 7u);
        EXPECT_EQ(decoded.items[1].text, u"運転中");
        EXPECT_EQ(decoded.items[2].type, VT_R8);
    }
    // Scalars read the same either way: the 16-byte layout is taken.
    const auto scalars =
        BlockBuilder().build({{0xC001, VT_I4, 7}, {0xC003, VT_R8, 1}}, S_OK, kWideValueRecordSize);
    EXPECT_EQ(recordWidthOf(scalars.data(), scalars.size()), kValueRecordSize);
    // Records that agree with neither width (a value offset into a text):
    // read as 16 bytes, as before.
    auto odd = BlockBuilder().build(items);
    BlockBuilder::put32(odd, kGroupHeaderSize + 4, static_cast<DWORD>(odd.size() - 18));
    EXPECT_EQ(recordWidthOf(odd.data(), odd.size()), kValueRecordSize);
}

TEST(StreamDecoding, ArraysTakePartInTheWidthByTheirOwnLayout) {
    // A 64-bit server's array is followed by its 24-byte SAFEARRAY record,
    // whose first word (cDims 1, fFeatures 0x0080) is no string byte count.
    const std::vector<BlockBuilder::Item> items = {
        {0xC001, VT_BSTR, 0, L"運転中"},
        {0xC002, static_cast<WORD>(VT_ARRAY | VT_R8), 0, L"", 0xC0, 0, {1.5, 2.5, 3.5}},
        {0xC003, VT_BSTR, 0, L"停止"},
        {0xC004, static_cast<WORD>(VT_ARRAY | VT_R8), 0, L"", 0xC0, 0, {}}};
    for (size_t width : {kValueRecordSize, kWideValueRecordSize}) {
        const auto block = BlockBuilder().build(items, S_OK, width);
        const DataChangeBlock decoded = decodeDataChangeBlock(block.data(), block.size());
        EXPECT_EQ(decoded.recordWidth, width);
        EXPECT_EQ(decoded.badItem, -1);
        ASSERT_EQ(decoded.items.size(), 4u) << width;
        EXPECT_EQ(decoded.items[0].text, u"運転中") << width;
        EXPECT_EQ(decoded.items[1].type, VT_ARRAY | VT_R8);
        ASSERT_TRUE(decoded.items[1].array) << width;
        EXPECT_EQ(decoded.items[1].array->elementSize, sizeof(double));
        ASSERT_EQ(decoded.items[1].array->bounds.size(), 1u);
        EXPECT_EQ(decoded.items[1].array->bounds[0].elements, 3u);
        ASSERT_EQ(decoded.items[1].array->data.size(), 3 * sizeof(double));
        double last = 0;
        std::memcpy(&last, decoded.items[1].array->data.data() + 16, 8);
        EXPECT_EQ(last, 3.5);
        EXPECT_EQ(decoded.items[2].text, u"停止") << width;
        ASSERT_TRUE(decoded.items[3].array);
        EXPECT_TRUE(decoded.items[3].array->data.empty());
    }
    // An array whose elements would run past the next record agrees with no
    // width: the block is read as 16-byte records.
    auto lying = BlockBuilder().build({items[1], items[0]}, S_OK, kWideValueRecordSize);
    BlockBuilder::put32(lying, kGroupHeaderSize + 2 * kItemHeaderSize + 24 + 24, 4);
    EXPECT_EQ(recordWidthOf(lying.data(), lying.size()), kValueRecordSize);
}

TEST(StreamDecoding, PlainValuesAreRebuiltFieldByField) {
    const auto one = [](const std::vector<std::uint8_t>& block) {
        return decodeDataChangeBlock(block.data(), block.size()).items.at(0);
    };
    VARIANT value;
    ASSERT_TRUE(plainValueOf(one(BlockBuilder().build({{1, VT_R8, bitsOf(-2.25)}})), value));
    EXPECT_EQ(V_VT(&value), VT_R8);
    EXPECT_EQ(V_R8(&value), -2.25);

    // A decimal fills the record: scale, sign, high and low parts.
    auto block = BlockBuilder().build({{1, VT_DECIMAL, 0x3039}});
    const std::uint8_t parts[] = {2, DECIMAL_NEG, 1, 0, 0, 0};
    std::memcpy(block.data() + kGroupHeaderSize + kItemHeaderSize + 2, parts, sizeof parts);
    ASSERT_TRUE(plainValueOf(one(block), value));
    EXPECT_EQ(V_VT(&value), VT_DECIMAL);
    EXPECT_EQ(V_DECIMAL(&value).scale, 2);
    EXPECT_EQ(V_DECIMAL(&value).sign, DECIMAL_NEG);
    EXPECT_EQ(V_DECIMAL(&value).Hi32, 1u);
    EXPECT_EQ(V_DECIMAL(&value).Lo64, 0x3039u);

    const WORD notCopied[] = {VT_EMPTY,         VT_NULL,          VT_BSTR,
                              VT_DISPATCH,      VT_VARIANT,       VT_UNKNOWN,
                              VT_ARRAY | VT_R8, VT_BYREF | VT_I4, 24};
    for (WORD type : notCopied) {
        StreamItem item;
        item.type = type;
        EXPECT_FALSE(plainValueOf(item, value)) << type;
    }
}

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        group = test::makeTopicGroup();
        for (HandleKey key : {0xC001u, 0xC002u}) {
            group->itemTable[key].linkCount = 1;
            group->itemTable[key].added = true;
        }
        log.clear();
    }
    void store(const std::vector<BlockBuilder::Item>& items, HRESULT status = S_OK) {
        const auto block = BlockBuilder().build(items, status);
        group->storeDataChange(decodeDataChangeBlock(block.data(), block.size()));
    }
    VARIANT& value(HandleKey key) { return group->itemTable.at(key).value; }

    test::FakeDdeInstance dde;
    test::FakeOpcServer server;
    test::FakeServerActivation activation;
    test::LogCapture log;
    std::unique_ptr<TopicGroup> group;
};

TEST_F(StoreTest, ValuesQualityAndDirtyMarks) {
    store({{0xC001, VT_BOOL, static_cast<std::uint16_t>(VARIANT_TRUE), L"", 0x18, 0},
           {0xDEAD, VT_I4, 1},  // no entry: skipped, the rest still stored
           {0xC002, VT_BSTR, 0, L"abc"}});
    EXPECT_EQ(V_VT(&value(0xC001)), VT_BOOL);
    EXPECT_EQ(V_BOOL(&value(0xC001)), VARIANT_TRUE);
    EXPECT_EQ(group->itemTable.at(0xC001).quality, 0x18);
    EXPECT_STREQ(V_BSTR(&value(0xC002)), L"abc");
    EXPECT_EQ(group->dirtyItems, (DirtyItems{0xC001, 0xC002}));
    EXPECT_EQ(group->itemTable.count(0xDEAD), 0u);

    // An entry not in the OPC group (removed, or never added) takes no value.
    group->itemTable.at(0xC002).added = false;
    group->dirtyItems.clear();
    store({{0xC002, VT_I4, 7}});
    EXPECT_STREQ(V_BSTR(&value(0xC002)), L"abc");
    EXPECT_TRUE(group->dirtyItems.empty());
}

TEST_F(StoreTest, LaterHeaderOfTheSameHandleWins) {
    store({{0xC001, VT_I4, 1}, {0xC001, VT_I4, 2, L"", 0xC0, 3}});
    EXPECT_EQ(V_I4(&value(0xC001)), 2);
    EXPECT_EQ(group->itemTable.at(0xC001).reservedWord, 3);
    EXPECT_EQ(group->dirtyItems.size(), 1u);
}

TEST_F(StoreTest, TypesNotCopiedBecomeTheirMarkerText) {
    store({{0xC001, VT_EMPTY, 0}, {0xC002, static_cast<WORD>(VT_ARRAY | VT_R8), 0x12345678}});
    EXPECT_EQ(replyText(group->itemTable.at(0xC001)).str(), L"#ERR:TYPE(VT=0)");
    EXPECT_EQ(replyText(group->itemTable.at(0xC002)).str(), L"#ERR:TYPE(VT=8197)");
    EXPECT_EQ(group->dirtyItems.size(), 2u);
}

// With Arrays=tabs an array reads as its elements' texts: from the stream
// (one dimension) and from the callbacks (two dimensions, texts, bounds that
// do not start at 0); an empty one reads "(null)"; without the key, or for an
// array the bridge cannot show, the type's marker; a bad quality marks the
// text where the topic wants it, a type error keeps its marker.
TEST_F(StoreTest, ArraysReadAsRowsOfTabsFromBothPathsWhereTheTopicWantsIt) {
    store({{0xC001, static_cast<WORD>(VT_ARRAY | VT_R8), 0, L"", 0xC0, 0, {1.5, -2, 0.25}},
           {0xC002, static_cast<WORD>(VT_ARRAY | VT_R8), 0, L"", 0xC0, 0, {}}});
    ItemEntry& first = group->itemTable.at(0xC001);
    ItemEntry& second = group->itemTable.at(0xC002);
    const ReplyRules tabs{QualityMarks::Hide, ArrayTexts::Tabs};
    EXPECT_EQ(replyText(first).str(), L"#ERR:TYPE(VT=8197)");
    EXPECT_EQ(replyText(first, tabs).str(), L"1.5\t-2\t0.25");
    EXPECT_EQ(replyText(second, tabs).str(), L"(null)");
    first.quality = 0x18;
    EXPECT_EQ(replyText(first, {QualityMarks::Mark, ArrayTexts::Tabs}).str(), L"#BAD(24)");

    // Two rows of texts, the first index from 1, as a 2.0 server sends them.
    SAFEARRAYBOUND bounds[] = {{2, 1}, {3, -1}};  // rows 1..2, columns -1..1
    VARIANT values[2];
    VariantInit(&values[0]);
    VariantInit(&values[1]);
    V_VT(&values[0]) = VT_ARRAY | VT_BSTR;
    V_ARRAY(&values[0]) = SafeArrayCreate(VT_BSTR, 2, bounds);
    for (LONG row = 1; row <= 2; ++row) {
        for (LONG column = -1; column <= 1; ++column) {
            LONG at[] = {row, column};
            const std::wstring text = std::to_wstring(row) + L"行" + std::to_wstring(column);
            BSTR element = SysAllocString(column == 0 ? L"" : text.c_str());
            SafeArrayPutElement(V_ARRAY(&values[0]), at, element);
            SysFreeString(element);
        }
    }
    V_VT(&values[1]) = VT_ARRAY | VT_VARIANT;
    V_ARRAY(&values[1]) = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    const OPCHANDLE handles[] = {0xC001, 0xC002};
    const WORD qualities[] = {0xC0, 0xC0};
    group->storeDataChange(callbackBlock(2, handles, values, qualities, nullptr));
    VariantClear(&values[0]);
    VariantClear(&values[1]);
    EXPECT_EQ(replyText(first, tabs).str(), L"1行-1\t(null)\t1行1\r\n2行-1\t(null)\t2行1");
    EXPECT_EQ(replyText(second, tabs).str(), L"#ERR:TYPE(VT=8204)");
}

TEST_F(StoreTest, BlockWithAnItemNotOfGoodQualityIsDataAndWideRecordsAreSaidOnce) {
    store({{0xC001, VT_I4, 4, L"", 0x18}, {0xC002, VT_I4, 5}}, S_FALSE);
    EXPECT_EQ(V_I4(&value(0xC002)), 5);
    EXPECT_EQ(group->itemTable.at(0xC001).quality, 0x18);
    EXPECT_TRUE(log.lines().empty());
    for (int i = 0; i < 2; ++i) {
        const auto block =
            BlockBuilder().build({{0xC002, VT_BSTR, 0, L"abc"}}, S_OK, kWideValueRecordSize);
        group->storeDataChange(decodeDataChangeBlock(block.data(), block.size()));
    }
    EXPECT_STREQ(V_BSTR(&value(0xC002)), L"abc");
    EXPECT_EQ(log.infoLines(),
              std::vector<std::wstring>{
                  L"情報：「Line1」のサーバーは値を24バイトのレコードで送ります。"});
}

TEST_F(StoreTest, FailedBlockWritesItsStatusLineAndChangesNothing) {
    store({{0xC001, VT_I4, 5}}, E_FAIL);
    EXPECT_EQ(log.infoLines(), std::vector<std::wstring>{L"\thrStatusr=-2147467259"});
    EXPECT_EQ(V_VT(&value(0xC001)), VT_EMPTY);
    EXPECT_TRUE(group->dirtyItems.empty());
    store({});
    EXPECT_TRUE(group->dirtyItems.empty());
}

TEST_F(StoreTest, CutBlockKeepsTheGoodItemsAndSaysSo) {
    auto block = BlockBuilder().build({{0xC001, VT_I4, 5}, {0xC002, VT_BSTR, 0, L"abc"}});
    block.resize(block.size() - 6);
    group->storeDataChange(decodeDataChangeBlock(block.data(), block.size()));
    EXPECT_EQ(V_I4(&value(0xC001)), 5);
    EXPECT_EQ(V_VT(&value(0xC002)), VT_EMPTY);
    EXPECT_EQ(log.errorLines(),
              std::vector<std::wstring>{L"異常：「Line1」データ変更の項目(1)がブロック外。"});
}

TEST_F(StoreTest, SinkIgnoresOtherFormatsAndMediaAndDecodesTheStream) {
    const auto bytes = BlockBuilder().build({{0xC001, VT_I4, 9}});
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes.size());
    std::memcpy(GlobalLock(memory), bytes.data(), bytes.size());
    GlobalUnlock(memory);
    IAdviseSink* sink = server.group->sink;
    ASSERT_NE(sink, nullptr);
    FORMATETC format = server.group->adviseFormat;
    EXPECT_EQ(format.tymed, static_cast<DWORD>(TYMED_HGLOBAL));
    EXPECT_EQ(server.group->adviseFlags, static_cast<DWORD>(ADVF_PRIMEFIRST));
    STGMEDIUM medium{};
    medium.tymed = TYMED_HGLOBAL;
    medium.hGlobal = memory;

    FORMATETC other = format;
    other.cfFormat = CF_TEXT;
    sink->OnDataChange(&other, &medium);
    other = format;
    other.tymed = TYMED_ISTREAM;
    sink->OnDataChange(&other, &medium);
    STGMEDIUM empty = medium;
    empty.hGlobal = nullptr;
    sink->OnDataChange(&format, &empty);
    group->takeReplies();
    EXPECT_TRUE(group->dirtyItems.empty());

    // Decoded where it arrives, stored when the main thread takes it.
    sink->OnDataChange(&format, &medium);
    group->takeReplies();
    EXPECT_EQ(V_I4(&value(0xC001)), 9);
    // The medium stays the caller's, unlocked.
    EXPECT_EQ(GlobalFlags(memory) & GMEM_LOCKCOUNT, 0u);
    GlobalFree(memory);
}

// The 2.0 callbacks give the same records as the stream: the values the
// server's arrays hold, copied before the call returns.
TEST(CallbackValues, RecordsAsTheStreamWouldCarryThem) {
    VARIANT values[5];
    for (VARIANT& v : values) {
        VariantInit(&v);
    }
    V_VT(&values[0]) = VT_R8;
    V_R8(&values[0]) = -2.25;
    V_VT(&values[1]) = VT_BSTR;
    V_BSTR(&values[1]) = SysAllocStringLen(L"運転\0中", 4);
    V_VT(&values[2]) = VT_DECIMAL;
    V_DECIMAL(&values[2]).scale = 2;
    V_DECIMAL(&values[2]).sign = DECIMAL_NEG;
    V_DECIMAL(&values[2]).Lo64 = 0x3039;
    V_VT(&values[3]) = VT_ARRAY | VT_R8;
    V_ARRAY(&values[3]) = SafeArrayCreateVector(VT_R8, 0, 2);
    V_VT(&values[4]) = VT_I4;
    V_I4(&values[4]) = 99;  // carried no value: its error entry is a failure
    const OPCHANDLE handles[] = {0xC001, 0xC002, 0xC003, 0xC004, 0xDEAD};
    const WORD qualities[] = {0xC0, 0x18, 0xC0, 0xC0, 0};
    const HRESULT errors[] = {S_OK, S_OK, S_OK, S_OK, OPC_E_UNKNOWNITEMID};

    const DataChangeBlock block = callbackBlock(5, handles, values, qualities, errors);
    ASSERT_EQ(block.items.size(), 5u);
    VARIANT rebuilt;
    ASSERT_TRUE(plainValueOf(block.items[0], rebuilt));
    EXPECT_EQ(V_R8(&rebuilt), -2.25);
    EXPECT_EQ(block.items[1].text, std::u16string(u"運転\0中", 4));
    EXPECT_EQ(block.items[1].quality, 0x18);
    ASSERT_TRUE(plainValueOf(block.items[2], rebuilt));
    EXPECT_EQ(V_DECIMAL(&rebuilt).sign, DECIMAL_NEG);
    EXPECT_EQ(V_DECIMAL(&rebuilt).Lo64, 0x3039u);
    EXPECT_EQ(block.items[3].type, VT_ARRAY | VT_R8);
    EXPECT_FALSE(plainValueOf(block.items[3], rebuilt));
    EXPECT_EQ(block.items[4].error, OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(block.items[4].type, VT_EMPTY);
    for (VARIANT& v : values) {
        VariantClear(&v);
    }
    // Nothing to read: no items, whatever the arrays.
    EXPECT_TRUE(callbackBlock(0, handles, values, qualities, errors).items.empty());
    EXPECT_TRUE(callbackBlock(3, nullptr, nullptr, nullptr, nullptr).items.empty());
}

// An error entry's text and its clearing are seen end to end.
TEST_F(StoreTest, CallbacksOfOtherGroupsAreNotStored) {
    // The sink takes only its own group's calls, and unwinds nothing.
    auto channel = std::make_shared<TopicChannel>();
    ServerSession session(channel);
    auto* sink = new DataCallbackSink(&session);
    sink->AddRef();
    sink->setGroup(7);
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_I4;
    const OPCHANDLE handle = 0xC001;
    const WORD quality = 0xC0;
    const HRESULT error = S_OK;
    EXPECT_EQ(
        sink->OnDataChange(0, 8, S_OK, S_OK, 1, const_cast<OPCHANDLE*>(&handle), &value,
                           const_cast<WORD*>(&quality), nullptr, const_cast<HRESULT*>(&error)),
        S_OK);
    EXPECT_TRUE(channel->takeReplies().empty());
    EXPECT_EQ(
        sink->OnDataChange(0, 7, S_OK, S_OK, 1, const_cast<OPCHANDLE*>(&handle), &value,
                           const_cast<WORD*>(&quality), nullptr, const_cast<HRESULT*>(&error)),
        S_OK);
    EXPECT_EQ(channel->takeReplies().size(), 1u);
    EXPECT_EQ(
        sink->OnReadComplete(0, 7, S_OK, S_OK, 0, nullptr, nullptr, nullptr, nullptr, nullptr),
        S_OK);
    EXPECT_EQ(sink->OnCancelComplete(0, 7), S_OK);
    EXPECT_TRUE(channel->takeReplies().empty());
    sink->Release();
}

}  // namespace
}  // namespace korven
