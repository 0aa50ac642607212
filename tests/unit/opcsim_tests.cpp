// The simulation server's array values: the texts of the scenario, the
// control channel and the journal, the SAFEARRAYs they make, and the bytes
// the 1.0 stream carries for them, read back by the bridge's own decoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ComGuards.h"
#include "DataChangeStream.h"
#include "Scenario.h"
#include "ValueText.h"
#include "items/DataChangeStream.h"

namespace {

using opcsim::formatValue;
using opcsim::VariantGuard;

VariantGuard parsed(const char* type, const char* text) {
    VariantGuard value;
    const auto vt = opcsim::parseTypeName(type);
    EXPECT_TRUE(vt) << type;
    if (vt) {
        EXPECT_EQ(opcsim::parseValue(text, *vt, value.get()), "") << text;
    }
    return value;
}

LONG elementAt(const VariantGuard& array, LONG row, LONG column) {
    LONG index[2] = {row, column};
    LONG value = 0;
    EXPECT_EQ(SafeArrayGetElement(array->parray, index, &value), S_OK) << row << "," << column;
    return value;
}

// Indices (row, column) as the 2.0 path's clients read them, and the journal's
// text back from the SAFEARRAY's own bounds.
TEST(ArrayText, TwoDimensionsAreRowsThenColumns) {
    const VariantGuard grid = parsed("VT_ARRAY|VT_I4", "{{1,2,3},{4,5,6}}");
    ASSERT_EQ(SafeArrayGetDim(grid->parray), 2u);
    EXPECT_EQ(elementAt(grid, 0, 2), 3);
    EXPECT_EQ(elementAt(grid, 1, 0), 4);
    EXPECT_EQ(formatValue(*grid.get()), "VT_ARRAY|VT_I4:{{1,2,3},{4,5,6}}");
    const VariantGuard shifted = parsed("VT_ARRAY|VT_I4", "{{1,2},{3,4}}@(1,-2)");
    EXPECT_EQ(elementAt(shifted, 2, -2), 3);
    EXPECT_EQ(formatValue(*shifted.get()), "VT_ARRAY|VT_I4:{{1,2},{3,4}}@(1,-2)");
}

TEST(ArrayText, ArraysReadBackAsWritten) {
    const struct {
        const char* type;
        const char* text;
        const char* journal;
    } cases[] = {
        {"VT_ARRAY|VT_R8", "{ 1.5 , 2.5 }@(5)", "VT_ARRAY|VT_R8:{1.5,2.5}@(5)"},
        {"VT_ARRAY|VT_R8", "{ }", "VT_ARRAY|VT_R8:{}"},
        {"VT_ARRAY|VT_I2", "{{},{}}", "VT_ARRAY|VT_I2:{{},{}}"},
        {"VT_ARRAY|VT_BOOL", "{true,false}", "VT_ARRAY|VT_BOOL:{true,false}"},
        {"VT_ARRAY|VT_DATE", "{{45000.5},{0}}", "VT_ARRAY|VT_DATE:{{45000.5},{0}}"},
        // Commas, braces and @ inside texts belong to the texts.
        {"VT_ARRAY|VT_BSTR", R"x({"a,b", "}@(1)", "", "\u904b"})x",
         R"x(VT_ARRAY|VT_BSTR:{"a,b","}@(1)","","運"})x"},
        {"VT_ARRAY|VT_VARIANT", R"({VT_I4:-1,VT_BSTR:"x:y",VT_EMPTY:})",
         R"(VT_ARRAY|VT_VARIANT:{VT_I4:-1,VT_BSTR:"x:y",VT_EMPTY:})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(formatValue(*parsed(c.type, c.text).get()), c.journal) << c.text;
    }
}

TEST(ArrayText, MalformedArraysAreRefused) {
    const struct {
        const char* type;
        const char* text;
    } cases[] = {
        {"VT_ARRAY|VT_I4", "{{1,2},{3}}"},                // rows of two lengths
        {"VT_ARRAY|VT_I4", "{1,{2}}"},                    // a row beside values
        {"VT_ARRAY|VT_I4", "{{1},2}"},                    // a value beside rows
        {"VT_ARRAY|VT_I4", "{{{1}}}"},                    // three dimensions
        {"VT_ARRAY|VT_I4", "{1,2"},                       // unclosed
        {"VT_ARRAY|VT_I4", "{{1,2},{3,4}}@(1)"},          // a bound for each dimension
        {"VT_ARRAY|VT_I4", "{1,2}@1"},                    // bounds in parentheses
        {"VT_ARRAY|VT_I4", "{1,2}@(2147483647)"},         // the last index past 2^31 - 1
        {"VT_ARRAY|VT_I2", "{1,40000}"},                  // an element out of range
        {"VT_ARRAY|VT_BSTR", "{a}"},                      // texts are quoted
        {"VT_ARRAY|VT_VARIANT", "{1}"},                   // an element names its type
        {"VT_ARRAY|VT_VARIANT", "{VT_ARRAY|VT_I4:{1}}"},  // of a scalar type
    };
    for (const auto& c : cases) {
        VariantGuard value;
        EXPECT_NE(opcsim::parseValue(c.text, *opcsim::parseTypeName(c.type), value.get()), "")
            << c.text;
        EXPECT_EQ(value->vt, VT_EMPTY) << c.text;
    }
}

TEST(ScenarioArrays, ArraysOfPointersNeedAServerWithoutTheStream) {
    const std::string items = "[items]\nA = VT_ARRAY|VT_I4; {{1}}\nN = VT_ARRAY|VT_BSTR; {\"a\"}\n";
    const auto both = opcsim::parseScenario(items);
    EXPECT_FALSE(both.scenario);
    EXPECT_EQ(both.error,
              "line 3: VT_ARRAY|VT_BSTR travels on the 2.0 callbacks only: it needs dataAccess = "
              "2.0");
    EXPECT_FALSE(
        opcsim::parseScenario("[server]\ndataAccess = 1.0\n[items]\nM = VT_ARRAY|VT_VARIANT; {}\n")
            .scenario);
    // The server section may follow the items.
    EXPECT_TRUE(opcsim::parseScenario(items + "[server]\ndataAccess = 2.0\n").scenario);
}

std::vector<uint32_t> dwords(const std::vector<uint8_t>& block, size_t at, size_t count = 1) {
    std::vector<uint32_t> out(count);
    std::memcpy(out.data(), block.data() + at, 4 * count);
    return out;
}

TEST(ArrayStream, GridAndEmptyArrayAsTheyLieInTheServersMemory) {
    const VariantGuard grid = parsed("VT_ARRAY|VT_I4", "{{1,2,3},{4,5,6}}@(1,0)");
    const VariantGuard empty = parsed("VT_ARRAY|VT_R8", "{}");
    const VariantGuard text = parsed("VT_BSTR", "\"ok\"");
    for (const size_t width : {size_t{16}, size_t{24}}) {
        SCOPED_TRACE(width);
        const auto block = opcsim::encodeDataChange(
            7, 0, S_OK,
            {{1, 0xC0, 0, grid.get()}, {2, 0xC0, 0, empty.get()}, {3, 0xC0, 0, text.get()}}, width);
        size_t at = 20 + 3 * 12;
        ASSERT_EQ(dwords(block, 24)[0], at);
        EXPECT_EQ(dwords(block, at)[0], static_cast<uint32_t>(VT_ARRAY | VT_I4));
        at += width;
        // cDims 2, fFeatures, cbElements 4, cLocks 0; the record is as wide as
        // the server's VARIANTs.
        EXPECT_EQ(dwords(block, at, 3), (std::vector<uint32_t>{2 | FADF_HAVEVARTYPE << 16, 4, 0}));
        at += width;
        // rgsabound: the columns (the last dimension) first, then the rows.
        EXPECT_EQ(dwords(block, at, 4), (std::vector<uint32_t>{3, 0, 2, 1}));
        at += 16;
        // The elements column by column: the first index runs fastest.
        EXPECT_EQ(dwords(block, at, 6), (std::vector<uint32_t>{1, 4, 2, 5, 3, 6}));
        at += 24;
        ASSERT_EQ(dwords(block, 36)[0], at);
        at += width;
        EXPECT_EQ(dwords(block, at, 2), (std::vector<uint32_t>{1 | FADF_HAVEVARTYPE << 16, 8}));
        // One bound of no element, and nothing after it.
        EXPECT_EQ(dwords(block, at + width, 2), (std::vector<uint32_t>{0, 0}));
        EXPECT_EQ(dwords(block, 48)[0], at + width + 8);
        // The bridge reads every item with the width the block was written with.
        const korven::DataChangeBlock decoded =
            korven::decodeDataChangeBlock(block.data(), block.size());
        EXPECT_EQ(decoded.recordWidth, width);
        EXPECT_EQ(decoded.badItem, -1);
        ASSERT_EQ(decoded.items.size(), 3u);
        EXPECT_EQ(decoded.items[2].text, u"ok");
    }
}

}  // namespace
