// The simulation server's pure pieces: the data-change stream encoder (bytes
// on the wire), the scenario parser and the value behaviours.
#include <gtest/gtest.h>

#include <cstring>

#include "DataChangeStream.h"
#include "ItemBehaviour.h"
#include "Scenario.h"
#include "StreamReader.h"
#include "ValueText.h"

using namespace opcsim;

namespace {

VariantGuard parsed(const char* text, VARTYPE vt) {
    VariantGuard v;
    EXPECT_EQ(parseValue(text, vt, v.get()), "") << text;
    return v;
}

}  // namespace

TEST(OpcSimStream, HeaderAndRecordsAreLaidOutFieldByField) {
    VariantGuard r8 = parsed("1.25", VT_R8);
    VariantGuard i2 = parsed("-2", VT_I2);
    auto bytes =
        encodeDataChange(0xC0DE, 7, S_OK, {{11, 0xC0, 0x1234, r8.get()}, {12, 0x18, 0, i2.get()}});
    ASSERT_EQ(bytes.size(), 20u + 2 * 12 + 2 * 16);
    auto block = readBlock(bytes);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->hClientGroup, 0xC0DEu);
    EXPECT_EQ(block->transactionId, 7u);
    ASSERT_EQ(block->items.size(), 2u);
    EXPECT_EQ(block->items[0].reserved, 0x1234);
    EXPECT_EQ(block->items[1].quality, 0x18);
    // Value offsets: right after the headers, 16 bytes apart.
    uint32_t offset0, offset1;
    std::memcpy(&offset0, bytes.data() + 24, 4);
    std::memcpy(&offset1, bytes.data() + 36, 4);
    EXPECT_EQ(offset0, 44u);
    EXPECT_EQ(offset1, 60u);
    double d;
    std::memcpy(&d, bytes.data() + 44 + 8, 8);
    EXPECT_EQ(d, 1.25);
    const uint8_t zeros[6] = {};
    EXPECT_EQ(std::memcmp(bytes.data() + 44 + 2, zeros, 6), 0);  // reserved words
    int16_t s;
    std::memcpy(&s, bytes.data() + 60 + 8, 2);
    EXPECT_EQ(s, -2);
    EXPECT_EQ(std::memcmp(bytes.data() + 60 + 10, zeros, 6), 0);  // rest of the payload
}

TEST(OpcSimStream, StringsFollowTheirRecordWithByteCountAndNul) {
    VariantGuard text = parsed("\"Grüße\\u3042\"", VT_BSTR);
    VariantGuard empty = parsed("\"\"", VT_BSTR);
    auto bytes =
        encodeDataChange(1, 0, S_OK, {{1, 0xC0, 0, text.get()}, {2, 0xC0, 0, empty.get()}});
    auto block = readBlock(bytes);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->items[0].text, L"Grüße\u3042");
    EXPECT_EQ(block->items[1].text, L"");
    uint32_t count;
    std::memcpy(&count, bytes.data() + 44 + 16, 4);
    EXPECT_EQ(count, 12u);  // six UTF-16 units; the NUL is not counted
    EXPECT_EQ(bytes[44 + 20 + 12], 0);
    EXPECT_EQ(bytes[44 + 20 + 13], 0);
    EXPECT_EQ(bytes.size(), 20u + 24 + (16 + 4 + 14) + (16 + 4 + 2));
}

TEST(OpcSimStream, DecimalFillsTheWholeRecordAndStatusIsCarried) {
    VariantGuard dec = parsed("-12345678901234567.89", VT_DECIMAL);
    auto bytes = encodeDataChange(1, 0, E_FAIL, {{5, 0xC0, 0, dec.get()}});
    auto block = readBlock(bytes);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->hrStatus, E_FAIL);
    EXPECT_EQ(block->items[0].vt, VT_DECIMAL);
    DECIMAL expected = dec->decVal;
    expected.wReserved = VT_DECIMAL;
    EXPECT_EQ(std::memcmp(block->items[0].record, &expected, 16), 0);
}

TEST(OpcSimStream, ArraysCarryTheirElementsAfterTheRecord) {
    VariantGuard array = parsed("{1.5,2.5}", static_cast<VARTYPE>(VT_ARRAY | VT_R8));
    auto bytes = encodeDataChange(1, 0, S_OK, {{5, 0xC0, 0, array.get()}});
    ASSERT_EQ(bytes.size(), 20u + 12 + 16 + 4 + 16);
    uint16_t vt;
    std::memcpy(&vt, bytes.data() + 32, 2);
    EXPECT_EQ(vt, VT_ARRAY | VT_R8);
    double second;
    std::memcpy(&second, bytes.data() + 32 + 20 + 8, 8);
    EXPECT_EQ(second, 2.5);
}

TEST(OpcSimScenario, ParsesServerFaultsAndItems) {
    auto result = parseScenario(R"(# test
[server]
vendor = null
revise = 1000:1500, *:250
version = 2.3.4
[faults]
createInstance = 0x80004005
noAsyncIO = true
addItemsIncomplete = errors
slow = AddItems:20, GetStatus:5
unknownHandle = 0xDEAD
[items]
A.Text = VT_BSTR; "a;b"; list "x" "" "ü"; quality 0x40; reserved 7
A.Array = VT_ARRAY|VT_I4; {1,2,3}
)");
    ASSERT_TRUE(result.scenario) << result.error;
    const Scenario& s = *result.scenario;
    EXPECT_FALSE(s.server.vendor);
    EXPECT_EQ(grantedRate(s.server, 1000), 1500u);
    EXPECT_EQ(grantedRate(s.server, 3000), 250u);
    EXPECT_EQ(s.server.build, 4);
    EXPECT_EQ(*s.faults.createInstance, E_FAIL);
    EXPECT_TRUE(s.faults.noAsyncIO);
    EXPECT_EQ(s.faults.addItemsIncomplete, Faults::Incomplete::Errors);
    EXPECT_EQ(s.faults.slow.at("AddItems"), 20u);
    EXPECT_EQ(*s.faults.unknownHandle, 0xDEADu);
    ASSERT_EQ(s.items.size(), 2u);
    EXPECT_EQ(std::wstring(s.items[0].initial->bstrVal), L"a;b");
    EXPECT_EQ(s.items[0].quality, 0x40);
    EXPECT_EQ(s.items[0].reserved, 7);
    EXPECT_EQ(s.items[0].behaviour.list.size(), 3u);
    EXPECT_EQ(s.items[1].type, VT_ARRAY | VT_I4);
}

TEST(OpcSimScenario, ErrorsNameTheLine) {
    EXPECT_EQ(parseScenario("[items]\nX = VT_I4; 1\nX = VT_I4; 2\n").error,
              "line 3: duplicate item ID X");
    EXPECT_EQ(parseScenario("[items]\n\nY = VT_I2; 40000\n").error.substr(0, 7), "line 3:");
    EXPECT_EQ(parseScenario("[items]\nZ = VT_BSTR; unquoted\n").error.substr(0, 7), "line 2:");
    EXPECT_EQ(parseScenario("[faults]\nnoSuchFault = 1\n").error,
              "line 2: unknown fault: noSuchFault");
    EXPECT_EQ(parseScenario("key = 1\n").error.substr(0, 7), "line 1:");
    // Array elements are packed after the record: no arrays of texts.
    EXPECT_EQ(parseScenario("[items]\nT = VT_ARRAY|VT_BSTR; {\"a\"}\n").error.substr(0, 7),
              "line 2:");
    EXPECT_TRUE(parseScenario(defaultScenarioText()).scenario);
}

TEST(OpcSimBehaviour, CountersWrapRampsReturnListsCycle) {
    ItemBehaviour counter;
    ASSERT_EQ(parseBehaviour("counter 1", VT_UI1, &counter), "");
    VariantGuard b = parsed("255", VT_UI1);
    EXPECT_TRUE(advance(counter, b.get()));
    EXPECT_EQ(b->bVal, 0);

    ItemBehaviour ramp;
    ASSERT_EQ(parseBehaviour("ramp 0 10 4", VT_R8, &ramp), "");
    VariantGuard r = parsed("8", VT_R8);
    advance(ramp, r.get());
    EXPECT_EQ(r->dblVal, 0.0);  // 12 is past the top: back to the bottom

    ItemBehaviour list;
    ASSERT_EQ(parseBehaviour("list \"a\" \"b\"", VT_BSTR, &list), "");
    VariantGuard t = parsed("\"a\"", VT_BSTR);
    EXPECT_FALSE(advance(list, t.get()));  // "a" again: no change
    EXPECT_TRUE(advance(list, t.get()));
    EXPECT_EQ(std::wstring(t->bstrVal), L"b");

    ItemBehaviour bad;
    EXPECT_NE(parseBehaviour("counter", VT_BSTR, &bad), "");
    EXPECT_NE(parseBehaviour("toggle", VT_I4, &bad), "");
}
