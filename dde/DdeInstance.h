#pragma once
// The process's one DDEML instance: every DDEML call of the bridge goes
// through it, and it supplies the instance identifier. Main thread only:
// DDEML calls back on the thread that made the instance (checked).
#include <windows.h>
#include <ddeml.h>

namespace korven {

class DdeInstance {
  public:
    DdeInstance() = default;
    virtual ~DdeInstance();
    DdeInstance(const DdeInstance&) = delete;
    DdeInstance& operator=(const DdeInstance&) = delete;

    DWORD id() const { return id_; }

    virtual UINT initialize(PFNCALLBACK callback, DWORD commandFlags);
    // Afterwards the identifier is 0, whatever the result.
    virtual BOOL uninitialize();
    virtual HSZ createStringHandle(const char* text, int codePage);
    virtual BOOL freeStringHandle(HSZ handle);
    virtual BOOL keepStringHandle(HSZ handle);
    virtual HDDEDATA nameService(HSZ service, HSZ reserved, UINT command);
    virtual DWORD queryString(HSZ handle, wchar_t* buffer, DWORD chars, int codePage);
    virtual HDDEDATA createDataHandle(const BYTE* data, DWORD length, DWORD offset, HSZ item,
                                      UINT format, UINT commandFlags);
    virtual BOOL postAdvise(HSZ topic, HSZ item);
    // DdeQueryConvInfo, then IsWindow on the partner window: false when DDEML
    // no longer knows the conversation or the partner's window is gone (its
    // process ended without a disconnect).
    virtual bool partnerAlive(HCONV conversation);
    // The topic a conversation was opened on (DdeQueryConvInfo); null when
    // DDEML does not know the conversation.
    virtual HSZ conversationTopic(HCONV conversation);

  protected:
    DWORD id_ = 0;
};

// The instance the bridge uses: the process-wide one, unless a test has put
// another in its place.
DdeInstance& ddeInstance();
// Tests only: use `replacement` (null restores the process-wide instance).
void replaceDdeInstance(DdeInstance* replacement);

}  // namespace korven
