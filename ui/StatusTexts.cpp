#include "ui/StatusTexts.h"

namespace korven {

std::string formatStatusTime(const FILETIME& utc) {
    FILETIME local{};
    SYSTEMTIME fields{};
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &fields)) {
        return "?";
    }
    if (fields.wYear < 1900) {
        return "";
    }
    char text[32] = {};
    wsprintfA(text, "%04d/%02d/%02d %02d:%02d:%02d", fields.wYear, fields.wMonth, fields.wDay,
              fields.wHour, fields.wMinute, fields.wSecond);
    return text;
}

std::string deadbandText(float deadband) {
    const auto whole = static_cast<long>(deadband);
    const auto thousandths =
        static_cast<long>((static_cast<double>(deadband) - static_cast<double>(whole)) * 1000.0);
    char text[40] = {};
    wsprintfA(text, "%ld.%03ld", whole, thousandths);
    return text;
}

const char* serverStateText(DWORD state) {
    switch (state) {
        case 1:
            return "RUNNING";
        case 2:
            return "FAILED";
        case 3:
            return "NOCONFIG";
        case 4:
            return "SUSPENDED";
        case 5:
            return "TEST";
        case 6:
            return "COMMFAULT";
        default:
            return "UNKNOWN";
    }
}

std::string hexWordText(DWORD value) {
    char text[16] = {};
    wsprintfA(text, "0x%08lX", value);
    return text;
}

}  // namespace korven
