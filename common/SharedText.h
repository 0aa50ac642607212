#pragma once
// A reference-counted text: a wide string plus its narrow copy in the system
// ANSI code page, made on first use and kept. Copies share the holder, so
// they belong to one thread (the main thread's item and topic names): the
// narrow copy is made without a lock. Texts for another thread are copied.
#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <string>

namespace korven {

class SharedText {
  public:
    SharedText() = default;
    // Narrow text in the ANSI code page; null gives a text without content.
    static SharedText fromNarrow(const char* text);
    // Wide text, copied up to its first NUL; null gives a text without content.
    static SharedText fromWide(const wchar_t* text);

    // False for a default-made text and for one made from null.
    bool present() const { return holder_ && holder_->wide != nullptr; }
    // The wide text, or null.
    const wchar_t* wide() const { return holder_ ? holder_->wide : nullptr; }
    // Characters up to the first NUL of the wide text.
    size_t length() const;
    // The ANSI copy, made now unless already held; null when there is no text.
    // Raises _com_error when the conversion fails.
    const char* narrow() const;
    // The wide text as a string (empty when absent).
    std::wstring str() const;

    void reset() { holder_.reset(); }

  private:
    struct Holder {
        BSTR wide = nullptr;
        char* narrow = nullptr;
        ~Holder();
    };
    std::shared_ptr<Holder> holder_;
};

}  // namespace korven
