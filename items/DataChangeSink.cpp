#include "items/DataChangeSink.h"

#include "items/DataChangeStream.h"
#include "opc/ServerSession.h"

namespace korven {
namespace {

// Holds a global memory block locked for a scope.
class GlobalLockHold {
  public:
    explicit GlobalLockHold(HGLOBAL memory)
        : memory_(memory), data_(static_cast<const std::uint8_t*>(GlobalLock(memory))) {}
    ~GlobalLockHold() {
        if (data_ != nullptr) {
            GlobalUnlock(memory_);
        }
    }
    GlobalLockHold(const GlobalLockHold&) = delete;
    GlobalLockHold& operator=(const GlobalLockHold&) = delete;

    const std::uint8_t* data() const { return data_; }
    size_t size() const { return data_ ? GlobalSize(memory_) : 0; }

  private:
    HGLOBAL memory_;
    const std::uint8_t* data_;
};

}  // namespace

DataChangeSink::DataChangeSink(ServerSession* session)
    : SessionCallback(session), streamFormat_(RegisterClipboardFormatA("OPCSTMFORMATDATA")) {}

STDMETHODIMP_(void) DataChangeSink::OnDataChange(FORMATETC* format, STGMEDIUM* medium) {
    if (format == nullptr || medium == nullptr) {
        return;
    }
    // The medium says itself what it carries: its handle is used only when
    // it is a global memory block, whatever the descriptor claims.
    if (format->tymed != TYMED_HGLOBAL || medium->tymed != TYMED_HGLOBAL ||
        medium->hGlobal == nullptr || format->cfFormat != streamFormat_) {
        return;
    }
    if (session_ == nullptr) {
        return;
    }
    GlobalLockHold block(medium->hGlobal);
    if (block.data() == nullptr) {
        return;
    }
    // The block is the caller's: what it says is copied out before the call
    // returns, and the main thread stores it.
    try {
        session_->deliverValues(decodeDataChangeBlock(block.data(), block.size()));
    } catch (...) {
        // Out of memory: the block is dropped, and nothing unwinds into the
        // server's call.
    }
}

}  // namespace korven
