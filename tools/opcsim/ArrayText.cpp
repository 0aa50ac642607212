#include "ArrayText.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <vector>

#include "ComGuards.h"
#include "TextScan.h"
#include "ValueText.h"

namespace opcsim {
namespace {

const std::string kSyntax = "an array value is written {v1,v2,...} or {{v1,v2},{v3,v4}}";

// The parts of "{a,b,...}" at the commas that stand outside quoted texts and
// inner braces; nullopt when the text is not braced.
std::optional<std::vector<std::string_view>> splitBraced(std::string_view text) {
    text = trimBlanks(text);
    if (text.size() < 2 || text.front() != '{' || text.back() != '}') {
        return std::nullopt;
    }
    text = text.substr(1, text.size() - 2);
    std::vector<std::string_view> parts;
    if (trimBlanks(text).empty()) {
        return parts;
    }
    for (size_t start = 0;;) {
        const size_t end = findSeparator(text, start, ",");
        parts.push_back(trimBlanks(text.substr(start, end - start)));
        if (end == text.size()) {
            return parts;
        }
        start = end + 1;
    }
}

bool isBraced(std::string_view part) {
    return !part.empty() && part.front() == '{';
}

// "(l)" or "(r,c)": decimal lower bounds.
std::optional<std::vector<LONG>> parseLowerBounds(std::string_view text) {
    text = trimBlanks(text);
    if (text.size() < 2 || text.front() != '(' || text.back() != ')') {
        return std::nullopt;
    }
    std::vector<LONG> bounds;
    std::string_view rest = text.substr(1, text.size() - 2);
    for (size_t start = 0;;) {
        const size_t comma = rest.find(',', start);
        const std::string number(trimBlanks(
            rest.substr(start, comma == std::string_view::npos ? rest.npos : comma - start)));
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(number.c_str(), &end, 10);
        if (number.empty() || *end != '\0' || errno == ERANGE) {
            return std::nullopt;
        }
        bounds.push_back(static_cast<LONG>(value));
        if (comma == std::string_view::npos) {
            return bounds;
        }
        start = comma + 1;
    }
}

// One element into `item`: as a scalar of `element`, or for VT_VARIANT as
// TYPE:value.
std::string parseElement(std::string_view text, VARTYPE element, VARIANT* item) {
    if (element != VT_VARIANT) {
        return parseScalar(text, element, item);
    }
    const size_t colon = text.find(':');
    const auto type =
        colon == std::string_view::npos ? std::nullopt : parseTypeName(text.substr(0, colon));
    if (!type || (*type & VT_ARRAY)) {
        return "an element of VT_VARIANT is written TYPE:value with a scalar type: " +
               std::string(text);
    }
    return parseScalar(text.substr(colon + 1), *type, item);
}

}  // namespace

std::string parseArray(std::string_view text, VARTYPE vt, VARIANT* out) {
    const VARTYPE element = vt & VT_TYPEMASK;
    text = trimBlanks(text);
    const size_t at = findSeparator(text, 0, "@");
    std::optional<std::vector<LONG>> lower;
    if (at < text.size()) {
        lower = parseLowerBounds(text.substr(at + 1));
        if (!lower) {
            return "lower bounds are written @(l) or @(row,column): " + std::string(text);
        }
    }
    const auto top = splitBraced(text.substr(0, at));
    if (!top) {
        return kSyntax + ": " + std::string(text);
    }
    // rows[r][c]; a one-dimensional array is one row.
    const bool twoDimensions = !top->empty() && isBraced(top->front());
    std::vector<std::vector<std::string_view>> rows;
    if (!twoDimensions) {
        rows.push_back(*top);
    }
    for (std::string_view part : *top) {
        if (isBraced(part) != twoDimensions) {
            return "an array's elements are all values or all rows {..}: " + std::string(text);
        }
        if (!twoDimensions) {
            continue;
        }
        auto row = splitBraced(part);
        if (!row) {
            return kSyntax + ": " + std::string(text);
        }
        for (std::string_view cell : *row) {
            if (isBraced(cell)) {
                return "an array has one or two dimensions: " + std::string(text);
            }
        }
        if (!rows.empty() && row->size() != rows.front().size()) {
            return "the rows of an array are of one length: " + std::string(text);
        }
        rows.push_back(std::move(*row));
    }
    const UINT dimensions = twoDimensions ? 2 : 1;
    const std::vector<LONG> lbound = lower.value_or(std::vector<LONG>(dimensions, 0));
    if (lbound.size() != dimensions) {
        return "@(..) gives one lower bound per dimension: " + std::string(text);
    }
    // SafeArrayCreate takes the bounds in index order: rows, then columns.
    const ULONG counts[2] = {static_cast<ULONG>(twoDimensions ? rows.size() : rows[0].size()),
                             static_cast<ULONG>(rows[0].size())};
    SAFEARRAYBOUND bounds[2];
    for (UINT d = 0; d < dimensions; ++d) {
        if (counts[d] != 0 && lbound[d] > LONG_MAX - static_cast<LONG>(counts[d] - 1)) {
            return "the indices of an array stay below 2^31: " + std::string(text);
        }
        bounds[d] = {counts[d], lbound[d]};
    }
    // Held by a VARIANT of its own until it is whole: a failure frees it.
    VariantGuard made;
    SAFEARRAY* array = SafeArrayCreate(element, dimensions, bounds);
    if (!array) {
        return "cannot make an array of " + typeName(element);
    }
    made->vt = vt;
    made->parray = array;
    for (size_t r = 0; r < rows.size(); ++r) {
        for (size_t c = 0; c < rows[r].size(); ++c) {
            LONG index[2] = {lbound[0] + static_cast<LONG>(twoDimensions ? r : c),
                             twoDimensions ? lbound[1] + static_cast<LONG>(c) : 0};
            VariantGuard item;
            std::string error = parseElement(rows[r][c], element, item.get());
            if (!error.empty()) {
                return error;
            }
            void* data = element == VT_VARIANT ? static_cast<void*>(item.get())
                         : element == VT_BSTR  ? static_cast<void*>(item->bstrVal)
                                               : static_cast<void*>(&item->llVal);
            if (FAILED(SafeArrayPutElement(array, index, data))) {
                return "cannot fill the array";
            }
        }
    }
    *out = *made.get();
    made->vt = VT_EMPTY;  // handed over
    return {};
}

std::string formatArray(SAFEARRAY* array, VARTYPE element) {
    if (array == nullptr) {
        return "{}";
    }
    const UINT dimensions = SafeArrayGetDim(array);
    if (dimensions == 0 || dimensions > 2) {
        return "?";
    }
    LONG lower[2] = {0, 0};
    LONG upper[2] = {-1, -1};
    for (UINT d = 0; d < dimensions; ++d) {
        SafeArrayGetLBound(array, d + 1, &lower[d]);
        SafeArrayGetUBound(array, d + 1, &upper[d]);
    }
    if (FAILED(SafeArrayLock(array))) {
        return "?";
    }
    auto cell = [&](LONG* index) {
        void* data = nullptr;
        if (FAILED(SafeArrayPtrOfIndex(array, index, &data))) {
            return std::string("?");
        }
        return element == VT_VARIANT ? formatValue(*static_cast<const VARIANT*>(data))
                                     : formatScalar(element, data);
    };
    // Counted from the bounds: an empty dimension has upper = lower - 1.
    auto row = [&](LONG r) {
        std::string out = "{";
        const int last = dimensions - 1;
        LONG index[2] = {r, 0};
        for (LONG i = 0; i <= upper[last] - lower[last]; ++i) {
            index[last] = lower[last] + i;
            out += (i ? "," : "") + cell(index);
        }
        return out + "}";
    };
    std::string out;
    if (dimensions == 1) {
        out = row(0);
    } else {
        out = "{";
        for (LONG r = 0; r <= upper[0] - lower[0]; ++r) {
            out += (r ? "," : "") + row(lower[0] + r);
        }
        out += "}";
    }
    SafeArrayUnlock(array);
    if (lower[0] != 0 || lower[1] != 0) {
        out += "@(" + std::to_string(lower[0]);
        out += dimensions == 2 ? "," + std::to_string(lower[1]) + ")" : ")";
    }
    return out;
}

}  // namespace opcsim
