// The journal: one line per call the server receives (and per notification
// it sends or control command it runs), appended to a file and flushed at
// once, so a test can read what was asked and answered, and in which order.
//
//   <seq> <ms> <Call> <name>=<value>... -> 0x<HRESULT> <name>=<value>...
//
// seq counts from 1; ms are milliseconds since the server started; numbers
// are decimal, result codes 0x%08X, texts quoted (UTF-8, \" \\ \n \r \t
// \uXXXX escapes) or null, values TYPE:value, lists [a,b,...].
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace opcsim {

class JournalLine {
  public:
    explicit JournalLine(std::string_view call) : call_(call) {}

    JournalLine& arg(std::string_view name, std::string_view rendered);
    JournalLine& arg(std::string_view name, long long number);
    JournalLine& text(std::string_view name, const wchar_t* text);
    JournalLine& code(std::string_view name, HRESULT hr);
    JournalLine& list(std::string_view name, const std::vector<std::string>& rendered);

    // Marks the start of the results; later arg()/text()/... are results.
    JournalLine& result(HRESULT hr);

    // "Call a=1 b=2 -> 0x00000000 c=3", without sequence and time.
    std::string body() const;

  private:
    std::string call_;
    std::string args_;
    std::string results_;
    bool resulted_ = false;
    HRESULT hr_ = S_OK;

    std::string& target() { return resulted_ ? results_ : args_; }
};

std::string hex32(uint32_t value);

// The journal file; a writer without a path drops every line.
class Journal {
  public:
    Journal() = default;
    explicit Journal(std::wstring path);
    void write(const JournalLine& line);
    const std::wstring& path() const { return path_; }

  private:
    std::wstring path_;
    unsigned long sequence_ = 0;
    ULONGLONG start_ = GetTickCount64();
};

}  // namespace opcsim
