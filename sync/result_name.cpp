// libvorn's result codes by name, for messages. Only the header's constants are used, so the
// feed's logic stays free of the library itself.
#include "board_source.h"

#include "vorn.h"

namespace vornsync {

std::string resultName(uint8_t code) {
    switch (code) {
    case VORN_OK:
        return "VORN_OK";
    case VORN_ERR_HANDLE:
        return "VORN_ERR_HANDLE (bad handle)";
    case VORN_ERR_ARGUMENT:
        return "VORN_ERR_ARGUMENT";
    case VORN_ERR_RANGE:
        return "VORN_ERR_RANGE";
    case VORN_ERR_NO_DEVICE:
        return "VORN_ERR_NO_DEVICE (no such board)";
    case VORN_ERR_BUSY:
        return "VORN_ERR_BUSY (the board is open elsewhere without sharing)";
    case VORN_ERR_HOST:
        return "VORN_ERR_HOST (no driver host: is vornhost running?)";
    case VORN_ERR_DEVICE:
        return "VORN_ERR_DEVICE (the driver refused the request)";
    case VORN_ERR_CANCELLED:
        return "VORN_ERR_CANCELLED";
    default:
        return "result " + std::to_string(code);
    }
}

} // namespace vornsync
