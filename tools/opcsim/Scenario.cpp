#include "Scenario.h"

#include <cstdlib>

#include "CallFaults.h"
#include "TextScan.h"
#include "ValueText.h"

namespace opcsim {
namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\xEF' ||
                          s.front() == '\xBB' || s.front() == '\xBF')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// Fields separated by ';' outside quoted texts and {..} arrays.
std::vector<std::string_view> fields(std::string_view text) {
    std::vector<std::string_view> out;
    size_t start = 0;
    while (true) {
        size_t end = findSeparator(text, start, ";");
        out.push_back(trim(text.substr(start, end - start)));
        if (end == text.size()) {
            return out;
        }
        start = end + 1;
    }
}

std::optional<unsigned long long> parseNumber(std::string_view text) {
    std::string s(trim(text));
    if (s.empty() || s[0] == '-') {
        return std::nullopt;
    }
    char* end = nullptr;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (*end != '\0') {
        return std::nullopt;
    }
    return v;
}

std::optional<HRESULT> parseCode(std::string_view text) {
    auto v = parseNumber(text);
    if (!v || *v > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    return static_cast<HRESULT>(static_cast<uint32_t>(*v));
}

std::optional<bool> parseFlag(std::string_view text) {
    text = trim(text);
    if (text == "true" || text == "1" || text == "yes") {
        return true;
    }
    if (text == "false" || text == "0" || text == "no") {
        return false;
    }
    return std::nullopt;
}

std::string parseServerKey(std::string_view key, std::string_view value, ServerSettings& s) {
    if (key == "vendor") {
        if (trim(value) == "null") {
            s.vendor.reset();
            return {};
        }
        auto text = parseQuoted(value);
        if (!text) {
            return "vendor is a quoted text or null";
        }
        s.vendor = *text;
        return {};
    }
    if (key == "recordSize") {
        auto v = parseNumber(value);
        if (!v || (*v != 16 && *v != 24)) {
            return "recordSize is 16 or 24";
        }
        s.recordSize = static_cast<size_t>(*v);
        return {};
    }
    if (key == "dataAccess") {
        std::string_view v = trim(value);
        if (v == "both") {
            s.dataAccess = DataAccess::Both;
        } else if (v == "1.0") {
            s.dataAccess = DataAccess::V1;
        } else if (v == "2.0") {
            s.dataAccess = DataAccess::V2;
        } else {
            return "dataAccess is both, 1.0 or 2.0";
        }
        return {};
    }
    if (key == "startDelay") {
        auto v = parseNumber(value);
        if (!v || *v > 600000) {
            return "startDelay is a number of milliseconds (up to 600000)";
        }
        s.startDelay = static_cast<DWORD>(*v);
        return {};
    }
    if (key == "state" || key == "bandwidth") {
        auto v = parseNumber(value);
        if (!v || *v > 0xFFFFFFFFull) {
            return std::string(key) + " is a number";
        }
        (key == "state" ? s.state : s.bandwidth) = static_cast<DWORD>(*v);
        return {};
    }
    if (key == "version") {
        std::string text(trim(value));
        unsigned major = 0, minor = 0, build = 0;
        char extra = 0;
        if (std::sscanf(text.c_str(), "%u.%u.%u%c", &major, &minor, &build, &extra) != 3 ||
            major > 0xFFFF || minor > 0xFFFF || build > 0xFFFF) {
            return "version is <major>.<minor>.<build>";
        }
        s.major = static_cast<WORD>(major);
        s.minor = static_cast<WORD>(minor);
        s.build = static_cast<WORD>(build);
        return {};
    }
    if (key == "revise") {
        std::string text(value);
        size_t start = 0;
        while (start <= text.size()) {
            size_t comma = text.find(',', start);
            std::string_view pair = trim(std::string_view(text).substr(
                start, comma == std::string::npos ? std::string::npos : comma - start));
            size_t colon = pair.find(':');
            if (colon == std::string_view::npos) {
                return "revise is a list of <requested>:<granted> (requested may be *)";
            }
            auto granted = parseNumber(pair.substr(colon + 1));
            if (!granted || *granted > 0xFFFFFFFFull) {
                return "revise: bad granted rate";
            }
            std::string_view requested = trim(pair.substr(0, colon));
            if (requested == "*") {
                s.reviseAll = static_cast<DWORD>(*granted);
            } else {
                auto r = parseNumber(requested);
                if (!r || *r > 0xFFFFFFFFull) {
                    return "revise: bad requested rate";
                }
                s.revise[static_cast<DWORD>(*r)] = static_cast<DWORD>(*granted);
            }
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
        return {};
    }
    return "unknown server key: " + std::string(key);
}

std::string parseFaultKey(std::string_view key, std::string_view value, Faults& f) {
    auto code = [&](std::optional<HRESULT>& target) -> std::string {
        auto c = parseCode(value);
        if (!c) {
            return std::string(key) + " is a result code";
        }
        target = *c;
        return {};
    };
    auto flag = [&](bool& target) -> std::string {
        auto b = parseFlag(value);
        if (!b) {
            return std::string(key) + " is true or false";
        }
        target = *b;
        return {};
    };
    if (key == "createInstance")
        return code(f.createInstance);
    if (key == "addItems")
        return code(f.addItems);
    if (key == "setState")
        return code(f.setState);
    if (key == "blockStatus")
        return code(f.blockStatus);
    if (key == "noAsyncIO")
        return flag(f.noAsyncIO);
    if (key == "noDataObject")
        return flag(f.noDataObject);
    if (key == "noConnectionPointContainer")
        return flag(f.noConnectionPointContainer);
    if (key == "noConnectionPoint")
        return flag(f.noConnectionPoint);
    if (key == "unknownHandle") {
        auto v = parseNumber(value);
        if (!v || *v > 0xFFFFFFFFull) {
            return "unknownHandle is a client handle";
        }
        f.unknownHandle = static_cast<DWORD>(*v);
        return {};
    }
    if (key == "addItemsIncomplete") {
        std::string_view v = trim(value);
        if (v == "results") {
            f.addItemsIncomplete = Faults::Incomplete::Results;
        } else if (v == "errors") {
            f.addItemsIncomplete = Faults::Incomplete::Errors;
        } else {
            return "addItemsIncomplete is results or errors (the array left out)";
        }
        return {};
    }
    if (key == "slow") {
        std::string text(value);
        size_t start = 0;
        while (start < text.size()) {
            size_t comma = text.find(',', start);
            std::string_view pair = trim(std::string_view(text).substr(
                start, comma == std::string::npos ? std::string::npos : comma - start));
            size_t colon = pair.find(':');
            auto ms = colon == std::string_view::npos ? std::nullopt
                                                      : parseNumber(pair.substr(colon + 1));
            if (!ms || *ms > 600000) {
                return "slow is a list of <Call>:<milliseconds>";
            }
            const std::string_view call = trim(pair.substr(0, colon));
            if (!isFaultCallName(call)) {
                return "slow: unknown call " + std::string(call);
            }
            f.slow[std::string(call)] = static_cast<DWORD>(*ms);
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
        return {};
    }
    if (key == "hang") {
        std::string text(value);
        size_t start = 0;
        while (start <= text.size()) {
            size_t comma = text.find(',', start);
            const std::string_view call = trim(std::string_view(text).substr(
                start, comma == std::string::npos ? std::string::npos : comma - start));
            if (!isFaultCallName(call)) {
                return "hang: unknown call " + std::string(call);
            }
            f.hang.emplace(call);
            if (comma == std::string::npos) {
                break;
            }
            start = comma + 1;
        }
        return {};
    }
    return "unknown fault: " + std::string(key);
}

std::string parseItem(std::string_view key, std::string_view value, uint32_t seed, ItemSpec& item) {
    item.id = fromUtf8(key);
    auto parts = fields(value);
    if (parts.size() < 2) {
        return "an item is <ID> = <type>; <initial value>[; <behaviour>][; quality <q>][; reserved "
               "<r>][; error <hr>]";
    }
    auto type = parseTypeName(parts[0]);
    if (!type) {
        return "unknown item type: " + std::string(parts[0]);
    }
    item.type = *type;
    std::string error = parseValue(parts[1], item.type, item.initial.get());
    if (!error.empty()) {
        return error;
    }
    item.behaviour.seed = seed;
    for (size_t i = 2; i < parts.size(); ++i) {
        std::string_view part = parts[i];
        if (part.substr(0, 6) == "error ") {
            auto code = parseCode(part.substr(6));
            if (!code) {
                return "error is a result code";
            }
            item.error = *code;
        } else if (part.substr(0, 8) == "quality " || part.substr(0, 9) == "reserved ") {
            bool isQuality = part[0] == 'q';
            auto v = parseNumber(part.substr(isQuality ? 8 : 9));
            if (!v || *v > 0xFFFF) {
                return "quality and reserved are 16-bit numbers";
            }
            (isQuality ? item.quality : item.reserved) = static_cast<WORD>(*v);
        } else if (i == 2) {
            error = parseBehaviour(part, item.type, &item.behaviour);
            if (!error.empty()) {
                return error;
            }
        } else {
            return "unexpected item field: " + std::string(part);
        }
    }
    return {};
}

}  // namespace

ScenarioResult parseScenario(std::string_view text) {
    Scenario scenario;
    std::string section;
    size_t lineNo = 0;
    size_t start = 0;
    std::map<std::wstring, size_t> ids;
    std::vector<size_t> itemLines;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string_view line = trim(text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start));
        ++lineNo;
        auto fail = [&](const std::string& message) {
            return ScenarioResult{std::nullopt, "line " + std::to_string(lineNo) + ": " + message};
        };
        if (!line.empty() && line[0] != '#') {
            if (line.front() == '[') {
                if (line.back() != ']') {
                    return fail("a section line is [name]");
                }
                section = std::string(line.substr(1, line.size() - 2));
                if (section != "server" && section != "faults" && section != "items") {
                    return fail("unknown section [" + section + "]");
                }
            } else {
                size_t eq = line.find('=');
                if (eq == std::string_view::npos || section.empty()) {
                    return fail("expected <key> = <value> inside a section");
                }
                std::string_view key = trim(line.substr(0, eq));
                std::string_view value = trim(line.substr(eq + 1));
                std::string error;
                if (section == "server") {
                    error = parseServerKey(key, value, scenario.server);
                } else if (section == "faults") {
                    error = parseFaultKey(key, value, scenario.faults);
                } else {
                    ItemSpec item;
                    error = key.empty()
                                ? "an item needs an ID"
                                : parseItem(key, value,
                                            static_cast<uint32_t>(scenario.items.size() + 1), item);
                    if (error.empty() && !ids.emplace(item.id, scenario.items.size()).second) {
                        error = "duplicate item ID " + std::string(key);
                    }
                    if (error.empty()) {
                        scenario.items.push_back(std::move(item));
                        itemLines.push_back(lineNo);
                    }
                }
                if (!error.empty()) {
                    return fail(error);
                }
            }
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    // The stream packs an array's elements as they lie in the server's
    // memory: elements that are or may hold pointers (texts, VARIANTs)
    // cannot travel there, so such arrays need a server without the stream.
    for (size_t k = 0; k < scenario.items.size(); ++k) {
        const VARTYPE type = scenario.items[k].type;
        if (scenario.server.dataAccess != DataAccess::V2 &&
            (type == (VT_ARRAY | VT_BSTR) || type == (VT_ARRAY | VT_VARIANT))) {
            return ScenarioResult{std::nullopt,
                                  "line " + std::to_string(itemLines[k]) + ": " + typeName(type) +
                                      " travels on the 2.0 callbacks only: it needs dataAccess = "
                                      "2.0"};
        }
    }
    return ScenarioResult{std::move(scenario), {}};
}

DWORD grantedRate(const ServerSettings& server, DWORD requested) {
    auto it = server.revise.find(requested);
    if (it != server.revise.end()) {
        return it->second;
    }
    return server.reviseAll.value_or(requested);
}

std::string_view defaultScenarioText() {
    return R"(# The default set of the simulation server.
[server]
vendor = "Korven OPC simulation server"
version = 1.0.1

[items]
Demo.Counter = VT_I4; 0; counter 1
Demo.Ramp = VT_R8; 0; ramp 0 100 2.5
Demo.Switch = VT_BOOL; false; toggle
Demo.Text = VT_BSTR; "Hello"; list "Hello" "Grüße" "こんにちは" ""
Demo.Fixed = VT_I4; 42; fixed
Demo.Walk = VT_R4; 50; walk 1.5 0 100
Demo.Short = VT_I2; -5; counter 1
Demo.Byte = VT_UI1; 250; counter 1
Demo.Money = VT_CY; 1234.5678; counter 0.01
Demo.Date = VT_DATE; 45000.5; counter 1
Demo.Decimal = VT_DECIMAL; 12345678901234567.89; fixed
Demo.Big = VT_I8; 9007199254740993; counter 1
Demo.Error = VT_ERROR; 0x80004005; fixed
Demo.Array = VT_ARRAY|VT_R8; {1.5,2.5,3.5}; fixed
Demo.Bad = VT_I4; 0; fixed; quality 0x0018
)";
}

}  // namespace opcsim
