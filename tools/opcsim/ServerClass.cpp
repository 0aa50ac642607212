#include "ServerClass.h"

namespace opcsim {

const std::vector<ServerClass>& serverClasses() {
    static const std::vector<ServerClass> classes = {
#ifdef _WIN64
        // {6E2B1F4A-93C4-4D8A-B1E7-3F5A0C9D2E61}
        {1,
         {0x6E2B1F4A, 0x93C4, 0x4D8A, {0xB1, 0xE7, 0x3F, 0x5A, 0x0C, 0x9D, 0x2E, 0x61}},
         L"Korven.OpcSim.1",
         L"Korven.OpcSim",
         L"Korven OPC DA 1.0 simulation server",
         L"Software\\Korven\\OpcSim",
         true},
#else
        // {171A6FD8-46E0-4C55-B94F-1470FF59F459}
        {1,
         {0x171A6FD8, 0x46E0, 0x4C55, {0xB9, 0x4F, 0x14, 0x70, 0xFF, 0x59, 0xF4, 0x59}},
         L"Korven.OpcSim32.1",
         L"Korven.OpcSim32",
         L"Korven OPC DA 1.0 simulation server (32-bit)",
         L"Software\\Korven\\OpcSim32",
         false},
#endif
    };
    return classes;
}

const ServerClass* findServerClass(int number) {
    for (const ServerClass& c : serverClasses()) {
        if (c.number == number) {
            return &c;
        }
    }
    return nullptr;
}

}  // namespace opcsim
