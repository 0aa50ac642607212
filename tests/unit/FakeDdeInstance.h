#pragma once
// A DDEML stand-in at the bridge's DdeInstance port: string handles from a
// name table (case-insensitive, like atoms), reference counts, data handles
// recorded as bytes, and posted advises in order.
#include <windows.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/HandleKey.h"
#include "dde/DdeInstance.h"

namespace korven::test {

class FakeDdeInstance : public DdeInstance {
  public:
    FakeDdeInstance() {
        id_ = 1;
        replaceDdeInstance(this);
    }
    ~FakeDdeInstance() override {
        replaceDdeInstance(nullptr);
        id_ = 0;
    }

    // A handle for a wide name; the same name in any letter case gives the
    // same handle while it lives. As DDEML's atoms do, a value freed by its
    // last reference goes to the next new name, the most recently freed first.
    HSZ handle(const std::wstring& name) {
        std::wstring key = name;
        CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
        auto found = handles.find(key);
        if (found == handles.end()) {
            HandleKey value = nextHandle_--;
            if (!freedValues_.empty()) {
                value = freedValues_.back();
                freedValues_.pop_back();
            }
            found = handles.emplace(key, value).first;
            names[found->second] = name;
        }
        return stringHandleOf(found->second);
    }
    // Handles in a chosen order: name → handle value.
    HSZ handleWithValue(const std::wstring& name, HandleKey value) {
        std::wstring key = name;
        CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
        handles[key] = value;
        names[value] = name;
        return stringHandleOf(value);
    }

    // Registration succeeds without DDEML.
    UINT initialize(PFNCALLBACK, DWORD) override { return DMLERR_NO_ERROR; }
    BOOL uninitialize() override { return TRUE; }
    HDDEDATA nameService(HSZ, HSZ, UINT) override { return reinterpret_cast<HDDEDATA>(1); }

    HSZ createStringHandle(const char* text, int) override {
        if (std::string(text).size() > 255) {
            return nullptr;
        }
        HSZ made = handle(std::wstring(text, text + std::string(text).size()));
        ++references[keyOf(made)];
        return made;
    }
    BOOL freeStringHandle(HSZ h) override {
        const HandleKey value = keyOf(h);
        int& count = references[value];
        if (count <= 0) {
            ++freesWithoutReference;
            return FALSE;
        }
        if (--count == 0) {
            // The last reference: the name is gone and its value free again.
            auto name = names.find(value);
            if (name != names.end()) {
                std::wstring key = name->second;
                CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
                handles.erase(key);
                names.erase(name);
            }
            freedValues_.push_back(value);
        }
        return TRUE;
    }
    BOOL keepStringHandle(HSZ h) override {
        if (failKeep || names.count(keyOf(h)) == 0) {
            return FALSE;
        }
        ++references[keyOf(h)];
        return TRUE;
    }
    DWORD queryString(HSZ h, wchar_t* buffer, DWORD chars, int) override {
        if (failQuery) {
            return 0;
        }
        const std::wstring& name = names[keyOf(h)];
        const size_t length = std::min<size_t>(name.size(), chars - 1);
        name.copy(buffer, length);
        buffer[length] = L'\0';
        return static_cast<DWORD>(length);
    }
    HDDEDATA createDataHandle(const BYTE* data, DWORD length, DWORD offset, HSZ item, UINT format,
                              UINT flags) override {
        dataHandles.push_back({std::string(reinterpret_cast<const char*>(data), length), offset,
                               keyOf(item), format, flags});
        return reinterpret_cast<HDDEDATA>(static_cast<UINT_PTR>(dataHandles.size()));
    }
    BOOL postAdvise(HSZ topic, HSZ item) override {
        posts.emplace_back(keyOf(topic), keyOf(item));
        return TRUE;
    }

    struct DataHandle {
        std::string bytes;
        DWORD offset;
        HandleKey item;
        UINT format;
        UINT flags;
    };

    std::map<std::wstring, HandleKey> handles;
    std::map<HandleKey, std::wstring> names;
    std::map<HandleKey, int> references;
    std::vector<DataHandle> dataHandles;
    std::vector<std::pair<HandleKey, HandleKey>> posts;
    int freesWithoutReference = 0;  // a free of a reference nobody held
    bool failQuery = false;
    bool failKeep = false;

    // Partner checks: the conversations asked about, in order, and those
    // whose partner is to be reported gone.
    bool partnerAlive(HCONV conversation) override {
        partnerChecks.push_back(keyOf(conversation));
        for (HandleKey dead : deadPartners) {
            if (dead == keyOf(conversation)) {
                return false;
            }
        }
        return true;
    }
    std::vector<HandleKey> partnerChecks;
    std::vector<HandleKey> deadPartners;

    // The topic each conversation was opened on (none: DDEML does not know it).
    HSZ conversationTopic(HCONV conversation) override {
        auto found = conversationTopics.find(keyOf(conversation));
        return found == conversationTopics.end() ? nullptr : found->second;
    }
    std::map<HandleKey, HSZ> conversationTopics;

  private:
    HandleKey nextHandle_ = 0xCFFF;
    std::vector<HandleKey> freedValues_;
};

}  // namespace korven::test
