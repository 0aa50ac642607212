#pragma once
// A small DDEML server for tests: serves one service with the given topics,
// answers requests in CF_TEXT and CF_UNICODETEXT with "<item>#<n>" (n counts
// the updates posted for the item), keeps advise links in those two formats,
// refuses poke, accepts execute unless its text is "fail", and prints one line
// per transaction it sees, in the order it sees them.
#include <windows.h>
#include <ddeml.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace ddepeer {

class PeerServer {
  public:
    PeerServer(std::wstring service, std::vector<std::wstring> topics);
    ~PeerServer();
    PeerServer(const PeerServer&) = delete;
    PeerServer& operator=(const PeerServer&) = delete;

    // DdeInitializeW and DdeNameService; false (and a FAIL line) on failure.
    bool start();
    // Counts one more update of the item and calls DdePostAdvise for it.
    void post(const std::wstring& item);
    // post() for every item that has an advise link.
    void postAdvised();

  private:
    static HDDEDATA CALLBACK callback(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2,
                                      HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2);
    HDDEDATA onTransaction(UINT type, UINT format, HSZ hsz1, HSZ hsz2, HDDEDATA data);
    HDDEDATA valueData(HSZ item, UINT format, const std::wstring& name);
    bool servesTopic(HSZ topic) const;

    std::wstring serviceName_;
    std::vector<std::wstring> topicNames_;
    DWORD instance_ = 0;
    HSZ service_ = nullptr;
    std::vector<HSZ> topics_;
    std::map<std::wstring, int> updates_;
    std::map<std::wstring, int> links_;
    std::vector<HCONV> conversations_;
};

}  // namespace ddepeer
