#include "DdeErrorName.h"

#include <ddeml.h>

#include "TextEscape.h"

namespace ddetool {

namespace {

const char* nameOf(UINT error) {
    switch (error) {
        case DMLERR_NO_ERROR:
            return "DMLERR_NO_ERROR";
        case DMLERR_ADVACKTIMEOUT:
            return "DMLERR_ADVACKTIMEOUT";
        case DMLERR_BUSY:
            return "DMLERR_BUSY";
        case DMLERR_DATAACKTIMEOUT:
            return "DMLERR_DATAACKTIMEOUT";
        case DMLERR_DLL_NOT_INITIALIZED:
            return "DMLERR_DLL_NOT_INITIALIZED";
        case DMLERR_DLL_USAGE:
            return "DMLERR_DLL_USAGE";
        case DMLERR_EXECACKTIMEOUT:
            return "DMLERR_EXECACKTIMEOUT";
        case DMLERR_INVALIDPARAMETER:
            return "DMLERR_INVALIDPARAMETER";
        case DMLERR_LOW_MEMORY:
            return "DMLERR_LOW_MEMORY";
        case DMLERR_MEMORY_ERROR:
            return "DMLERR_MEMORY_ERROR";
        case DMLERR_NOTPROCESSED:
            return "DMLERR_NOTPROCESSED";
        case DMLERR_NO_CONV_ESTABLISHED:
            return "DMLERR_NO_CONV_ESTABLISHED";
        case DMLERR_POKEACKTIMEOUT:
            return "DMLERR_POKEACKTIMEOUT";
        case DMLERR_POSTMSG_FAILED:
            return "DMLERR_POSTMSG_FAILED";
        case DMLERR_REENTRANCY:
            return "DMLERR_REENTRANCY";
        case DMLERR_SERVER_DIED:
            return "DMLERR_SERVER_DIED";
        case DMLERR_SYS_ERROR:
            return "DMLERR_SYS_ERROR";
        case DMLERR_UNADVACKTIMEOUT:
            return "DMLERR_UNADVACKTIMEOUT";
        case DMLERR_UNFOUND_QUEUE_ID:
            return "DMLERR_UNFOUND_QUEUE_ID";
        default:
            return "DMLERR_UNKNOWN";
    }
}

}  // namespace

std::string dmlErrorField(UINT error) {
    return "dmlerr=" + hexNumber(error, 4) + " " + nameOf(error);
}

}  // namespace ddetool
