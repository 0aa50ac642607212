// Writes the fuzz target's seed corpus: data-change blocks made by the
// simulation server's own encoder, the bytes a real group sends. Run once
// under wine64 by tests/fuzz/make-seeds.sh; its output is committed in
// tests/fuzz/seeds. Files go to the current directory.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ComGuards.h"
#include "DataChangeStream.h"
#include "ValueText.h"

using namespace opcsim;

namespace {

struct Value {
    const char* type;
    const char* text;
    WORD quality = 0xC0;
};

std::vector<uint8_t> block(const std::vector<Value>& values, HRESULT status, size_t width = 16) {
    std::vector<VariantGuard> held(values.size());
    std::vector<StreamItem> items;
    for (size_t k = 0; k < values.size(); ++k) {
        const auto type = parseTypeName(values[k].type);
        if (!type || !parseValue(values[k].text, *type, held[k].get()).empty()) {
            std::fprintf(stderr, "bad seed value %s %s\n", values[k].type, values[k].text);
            std::exit(1);
        }
        items.push_back({static_cast<DWORD>(0xC001 + k), values[k].quality, 0, held[k].get()});
    }
    return encodeDataChange(0xC000, 1, status, items, width);
}

// A value of a type the scenario cannot name (VT_EMPTY, VT_NULL, by-reference).
std::vector<uint8_t> rawTypes() {
    VARIANT empty, null, byref;
    VariantInit(&empty);
    VariantInit(&null);
    V_VT(&null) = VT_NULL;
    LONG target = 5;
    VariantInit(&byref);
    V_VT(&byref) = VT_BYREF | VT_I4;
    V_I4REF(&byref) = &target;
    return encodeDataChange(
        0xC000, 2, S_OK,
        {{0xC001, 0xC0, 0, &empty}, {0xC002, 0x00, 0, &null}, {0xC003, 0xC0, 0, &byref}}, 16);
}

// Many headers sharing one long text: read once per header, the text alone
// would be many times the block.
std::vector<uint8_t> sharedText() {
    const std::string text = "\"" + std::string(200, 'x') + "\"";
    std::vector<uint8_t> one = block({{"VT_BSTR", text.c_str()}}, S_OK);
    const uint32_t count = 50;
    const uint32_t value = 20 + 12 * count;
    std::vector<uint8_t> out(value + (one.size() - 32), 0);
    std::memcpy(out.data(), one.data(), 20);
    std::memcpy(out.data() + 4, &count, 4);
    std::memcpy(out.data() + value, one.data() + 32, one.size() - 32);
    for (uint32_t k = 0; k < count; ++k) {
        std::memcpy(out.data() + 20 + 12 * k, one.data() + 20, 12);
        std::memcpy(out.data() + 20 + 12 * k + 4, &value, 4);
    }
    const uint32_t size = static_cast<uint32_t>(out.size());
    std::memcpy(out.data(), &size, 4);
    return out;
}

bool write(const char* name, const std::vector<uint8_t>& bytes) {
    FILE* file = std::fopen(name, "wb");
    if (file == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int main() {
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } seeds[] = {
        {"scalars", block({{"VT_I4", "42"}, {"VT_R8", "21.5"}, {"VT_BOOL", "true"}}, S_OK)},
        {"texts", block({{"VT_BSTR", "\"\\u904b\\u8ee2\\u4e2d\""}, {"VT_BSTR", "\"\""}}, S_OK)},
        {"not_good_quality", block({{"VT_I2", "-2", 0x18}, {"VT_UI4", "7"}}, S_FALSE)},
        {"failed", block({{"VT_I4", "1"}}, E_FAIL)},
        {"no_items", block({}, S_OK)},
        {"exact_types", block({{"VT_DECIMAL", "-123.45"},
                               {"VT_CY", "12.5"},
                               {"VT_DATE", "45000.5"},
                               {"VT_I8", "-9000000000"},
                               {"VT_UI1", "255"}},
                              S_OK)},
        {"arrays", block({{"VT_ARRAY|VT_R8", "{1.5,2.5,3.5}"},
                          {"VT_ARRAY|VT_I2", "{1,-2}"},
                          {"VT_BSTR", "\"abc\""},
                          {"VT_I4", "3"}},
                         S_OK)},
        {"wide_arrays", block({{"VT_BSTR", "\"abc\""},
                               {"VT_ARRAY|VT_R8", "{1.5,2.5,3.5}"},
                               {"VT_ARRAY|VT_UI1", "{1,2,3}"},
                               {"VT_BSTR", "\"\\u904b\\u8ee2\""}},
                              S_OK, 24)},
        {"grids", block({{"VT_ARRAY|VT_I4", "{{1,2,3},{4,5,6}}@(1,0)"},
                         {"VT_ARRAY|VT_R8", "{}"},
                         {"VT_ARRAY|VT_I2", "{{},{}}"},
                         {"VT_BSTR", "\"abc\""}},
                        S_OK)},
        {"wide_grids", block({{"VT_ARRAY|VT_I4", "{{1,2,3},{4,5,6}}@(1,0)"},
                              {"VT_ARRAY|VT_R8", "{}"},
                              {"VT_BSTR", "\"abc\""}},
                             S_OK, 24)},
        {"wide_records", block({{"VT_I4", "7"}, {"VT_BSTR", "\"abc\""}, {"VT_R8", "1"}}, S_OK, 24)},
        {"wide_scalars", block({{"VT_I4", "7"}, {"VT_R4", "0.5"}}, S_OK, 24)},
        {"raw_types", rawTypes()},
        {"shared_text", sharedText()},
    };
    for (const auto& seed : seeds) {
        const std::string name = std::string(seed.name) + ".bin";
        if (!write(name.c_str(), seed.bytes)) {
            std::fprintf(stderr, "cannot write %s\n", name.c_str());
            return 1;
        }
    }
    return 0;
}
