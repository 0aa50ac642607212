#include "ItemBehaviour.h"

#include <oleauto.h>

#include <cstdlib>

#include "ClockOfDay.h"
#include "TextScan.h"
#include "ValueText.h"

namespace opcsim {
namespace {

// Blank-separated words; quoted texts and {..} arrays stay whole.
std::vector<std::string_view> words(std::string_view text) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
        if (i >= text.size()) {
            break;
        }
        size_t start = i;
        i = findSeparator(text, start, " \t");
        out.push_back(text.substr(start, i - start));
    }
    return out;
}

bool number(std::string_view word, double* out) {
    std::string s(word);
    char* end = nullptr;
    *out = std::strtod(s.c_str(), &end);
    return !s.empty() && *end == '\0';
}

bool isInteger(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
            return true;
        default:
            return false;
    }
}

bool isNumeric(VARTYPE vt) {
    switch (vt) {
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_DECIMAL:
            return true;
        default:
            return isInteger(vt);
    }
}

// Integer counters wrap around at the type's width, as a device register does.
void addInteger(VARIANT* v, int64_t step) {
    switch (v->vt) {
        case VT_I1:
            v->cVal = static_cast<CHAR>(v->cVal + step);
            break;
        case VT_UI1:
            v->bVal = static_cast<BYTE>(v->bVal + step);
            break;
        case VT_I2:
            v->iVal = static_cast<SHORT>(v->iVal + step);
            break;
        case VT_UI2:
            v->uiVal = static_cast<USHORT>(v->uiVal + step);
            break;
        case VT_I4:
        case VT_INT:
            v->lVal = static_cast<LONG>(static_cast<uint32_t>(v->lVal) + step);
            break;
        case VT_UI4:
        case VT_UINT:
            v->ulVal = static_cast<ULONG>(v->ulVal + step);
            break;
        case VT_I8:
            v->llVal = static_cast<LONGLONG>(static_cast<uint64_t>(v->llVal) + step);
            break;
        case VT_UI8:
            v->ullVal = v->ullVal + static_cast<uint64_t>(step);
            break;
        default:
            break;
    }
}

bool setFromDouble(VARIANT* v, double x) {
    VARIANT r8;
    VariantInit(&r8);
    r8.vt = VT_R8;
    r8.dblVal = x;
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, &r8, 0, v->vt))) {
        return false;
    }
    VariantClear(v);
    *v = converted;
    return true;
}

bool toDouble(const VARIANT* v, double* out) {
    VARIANT r8;
    VariantInit(&r8);
    if (FAILED(VariantChangeType(&r8, const_cast<VARIANT*>(v), 0, VT_R8))) {
        return false;
    }
    *out = r8.dblVal;
    return true;
}

bool sameValue(const VARIANT* a, const VARIANT* b) {
    if (a->vt != b->vt) {
        return false;
    }
    if (a->vt == VT_BSTR) {
        UINT la = SysStringLen(a->bstrVal), lb = SysStringLen(b->bstrVal);
        return la == lb && (la == 0 || memcmp(a->bstrVal, b->bstrVal, la * sizeof(wchar_t)) == 0);
    }
    if (a->vt & VT_ARRAY) {
        return false;  // a scripted array counts as a change each time
    }
    if (a->vt == VT_DECIMAL) {
        return memcmp(&a->decVal, &b->decVal, sizeof(DECIMAL)) == 0;
    }
    return a->llVal == b->llVal;
}

}  // namespace

std::string parseBehaviour(std::string_view text, VARTYPE type, ItemBehaviour* out) {
    auto w = words(text);
    if (w.empty() || w[0] == "fixed") {
        out->kind = ItemBehaviour::Kind::Fixed;
        return w.size() <= 1 ? std::string() : "fixed takes no arguments";
    }
    const std::string kind(w[0]);
    if (kind == "counter") {
        if (!isNumeric(type)) {
            return "counter needs a numeric type";
        }
        out->kind = ItemBehaviour::Kind::Counter;
        out->step = 1;
        if (w.size() > 2 || (w.size() == 2 && !number(w[1], &out->step))) {
            return "counter takes one step";
        }
        return {};
    }
    if (kind == "ramp" || kind == "walk") {
        if (!isNumeric(type)) {
            return kind + " needs a numeric type";
        }
        out->kind = kind == "ramp" ? ItemBehaviour::Kind::Ramp : ItemBehaviour::Kind::Walk;
        bool ok = w.size() == 4;
        if (ok && kind == "ramp") {
            ok = number(w[1], &out->min) && number(w[2], &out->max) && number(w[3], &out->step);
        } else if (ok) {
            ok = number(w[1], &out->step) && number(w[2], &out->min) && number(w[3], &out->max);
        }
        if (!ok || out->min > out->max) {
            return kind == "ramp" ? "ramp takes <min> <max> <step>"
                                  : "walk takes <step> <min> <max>";
        }
        return {};
    }
    if (kind == "toggle") {
        out->kind = ItemBehaviour::Kind::Toggle;
        return type == VT_BOOL && w.size() == 1 ? std::string() : "toggle is for VT_BOOL only";
    }
    if (kind == "clock") {
        out->kind = ItemBehaviour::Kind::Clock;
        if (!isNumeric(type) || type == VT_DATE) {
            return "clock needs a numeric type (VT_R8 keeps the microseconds)";
        }
        return w.size() == 1 ? std::string() : "clock takes no arguments";
    }
    if (kind == "list") {
        out->kind = ItemBehaviour::Kind::List;
        if (w.size() < 2) {
            return "list needs at least one value";
        }
        for (size_t i = 1; i < w.size(); ++i) {
            VariantGuard v;
            std::string error = parseValue(w[i], type, v.get());
            if (!error.empty()) {
                return error;
            }
            out->list.push_back(v);
        }
        return {};
    }
    return "unknown behaviour: " + kind;
}

bool advance(ItemBehaviour& b, VARIANT* value) {
    switch (b.kind) {
        case ItemBehaviour::Kind::Fixed:
            return false;
        case ItemBehaviour::Kind::Toggle:
            value->boolVal = value->boolVal ? VARIANT_FALSE : VARIANT_TRUE;
            return true;
        case ItemBehaviour::Kind::List: {
            if (b.list.empty()) {
                return false;
            }
            const VARIANT* next = b.list[b.next].get();
            b.next = (b.next + 1) % b.list.size();
            bool changed = !sameValue(value, next);
            VariantCopy(value, const_cast<VARIANT*>(next));
            return changed;
        }
        case ItemBehaviour::Kind::Counter:
            if (isInteger(value->vt)) {
                addInteger(value, static_cast<int64_t>(b.step));
                return b.step != 0;
            }
            if (value->vt == VT_CY) {
                value->cyVal.int64 += static_cast<LONGLONG>(b.step * 10000);
                return b.step != 0;
            }
            if (value->vt == VT_DECIMAL) {
                DECIMAL step{};
                DECIMAL sum{};
                if (FAILED(VarDecFromR8(b.step, &step)) ||
                    FAILED(VarDecAdd(&value->decVal, &step, &sum))) {
                    return false;
                }
                value->decVal = sum;
                value->vt = VT_DECIMAL;
                return b.step != 0;
            } else {
                double x = 0;
                return toDouble(value, &x) && setFromDouble(value, x + b.step);
            }
        case ItemBehaviour::Kind::Clock:
            return setFromDouble(value, millisecondsOfDay());
        case ItemBehaviour::Kind::Ramp: {
            double x = 0;
            if (!toDouble(value, &x)) {
                return false;
            }
            x += b.step;
            if (x > b.max || x < b.min) {
                x = b.step >= 0 ? b.min : b.max;
            }
            return setFromDouble(value, x);
        }
        case ItemBehaviour::Kind::Walk: {
            double x = 0;
            if (!toDouble(value, &x)) {
                return false;
            }
            b.seed = b.seed * 1664525u + 1013904223u;
            double unit = static_cast<double>(b.seed >> 8) / static_cast<double>(1u << 24);
            x += (unit * 2.0 - 1.0) * b.step;
            x = x < b.min ? b.min : (x > b.max ? b.max : x);
            return setFromDouble(value, x);
        }
    }
    return false;
}

}  // namespace opcsim
