#pragma once
// The DDEML client instance and its conversations: runs one command at a time
// and prints one line per result, and one line per advise update as DDEML
// delivers it.
#include <windows.h>
#include <ddeml.h>

#include <optional>
#include <string>
#include <vector>

#include "DdeHandles.h"
#include "InputPump.h"
#include "Script.h"

namespace ddetool {

class ClientSession {
  public:
    explicit ClientSession(InputPump& pump);
    ~ClientSession();  // disconnects what is open, then DdeUninitialize
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    // DdeInitializeW as a client only; the DDEML error, 0 on success.
    UINT initialize();

    // Runs one command (not "stdin"); false when it failed.
    bool run(const Command& command);

  private:
    struct Conversation {
        int index = 0;
        HCONV handle = nullptr;
        bool open = false;
    };

    static HDDEDATA CALLBACK callback(UINT type, UINT format, HCONV conv, HSZ topic, HSZ item,
                                      HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2);
    HDDEDATA onTransaction(UINT type, UINT format, HCONV conv, HSZ item, HDDEDATA data);

    bool connect(const Command& c);
    bool connectList(const Command& c);
    bool use(const Command& c);
    bool request(const Command& c);
    bool advise(const Command& c, bool start);
    bool poke(const Command& c);
    bool execute(const Command& c);
    // One synchronous transaction of the conversation, with the conversation's
    // advise updates held back while it waits (see WineUpdateHold.h); `error`
    // is DDEML's last error right after it.
    HDDEDATA transact(HCONV conversation, LPBYTE data, DWORD size, HSZ item, UINT format, UINT type,
                      DWORD* result, UINT* error);
    bool disconnect();
    // One ATOM line per name in the global atom table, then the count.
    void listGlobalAtoms();

    // Conversations the partner ended: Wine calls no XTYP_DISCONNECT for them,
    // so each command first looks at the state of every open one.
    void checkPartners();
    Conversation* find(HCONV handle);
    Conversation* find(int index);
    // The current open conversation; prints "<WORD> FAIL reason=no-conversation"
    // and gives null when there is none.
    Conversation* currentOr(const char* word);
    // What an item transaction names: the clipboard format, the item's string
    // handle, and the line fields (`head` and "fmt=F") that report on it.
    struct ItemTarget {
        UINT format = 0;
        std::string fields;
        StringHandle item;
    };
    // Resolves the command's format and makes the item's handle; prints
    // "<WORD> FAIL <fields> reason=bad-format|item-name" and gives nullopt when
    // either fails.
    std::optional<ItemTarget> itemTarget(const char* word, const Command& c,
                                         const std::string& head);
    int add(HCONV handle);
    // "service=S topic=T" of the partner of an open conversation.
    std::string partnerFields(HCONV handle);

    InputPump& pump_;
    DWORD instance_ = 0;
    std::vector<Conversation> conversations_;
    std::vector<HCONVLIST> lists_;
    int current_ = 0;
    DWORD timeoutMs_ = 5000;
};

}  // namespace ddetool
