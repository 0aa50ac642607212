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
         L"Korven OPC DA simulation server",
         L"Software\\Korven\\OpcSim",
         true},
        // A second server of its own process and folder, for clients of two
        // servers. {ECC7D599-B3D9-4B28-80E9-C9525BD419AF}
        {2,
         {0xECC7D599, 0xB3D9, 0x4B28, {0x80, 0xE9, 0xC9, 0x52, 0x5B, 0xD4, 0x19, 0xAF}},
         L"Korven.OpcSim2.1",
         L"Korven.OpcSim2",
         L"Korven OPC DA simulation server, second class",
         L"Software\\Korven\\OpcSim2",
         false},
#else
        // {171A6FD8-46E0-4C55-B94F-1470FF59F459}
        {1,
         {0x171A6FD8, 0x46E0, 0x4C55, {0xB9, 0x4F, 0x14, 0x70, 0xFF, 0x59, 0xF4, 0x59}},
         L"Korven.OpcSim32.1",
         L"Korven.OpcSim32",
         L"Korven OPC DA simulation server (32-bit)",
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
