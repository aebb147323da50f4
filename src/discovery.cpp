#include "discovery.h"

#include "unit_description.h"
#include "vendor/ftd2xx.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Room for this many records per counted device.
constexpr std::size_t RecordsPerDevice = 100;

constexpr std::size_t DescriptionFieldSize = sizeof(FT_DEVICE_LIST_INFO_NODE::Description);
static_assert(DescriptionFieldSize < DescriptionBufferSize, "a record's description fits");

// The field is terminated only when the description is shorter than it.
void CopyRecordDescription(char* chosen, const FT_DEVICE_LIST_INFO_NODE& record) {
    std::size_t length = 0;
    while (length < DescriptionFieldSize && record.Description[length] != '\0') {
        ++length;
    }
    std::memcpy(chosen, record.Description, length);
    chosen[length] = '\0';
}

} // namespace

DiscoveryOutcome DiscoverBlaster(char* chosenDescription) {
    DWORD count = 0;
    if (FT_CreateDeviceInfoList(&count) != FT_OK) {
        return InitFailed;
    }
    if (count == 0) {
        return NoneFound;
    }

    if (count > SIZE_MAX / RecordsPerDevice / sizeof(FT_DEVICE_LIST_INFO_NODE)) {
        return ListFailed;
    }
    const std::size_t allocated = static_cast<std::size_t>(count) * RecordsPerDevice;
    // Zeroed, so a record the driver leaves unfilled reads as an empty description.
    auto* records = static_cast<FT_DEVICE_LIST_INFO_NODE*>(
        std::calloc(allocated, sizeof(FT_DEVICE_LIST_INFO_NODE)));
    if (records == nullptr) {
        return ListFailed;
    }
    if (FT_GetDeviceInfoList(records, &count) != FT_OK) {
        std::free(records);
        return ListFailed;
    }

    int matches = 0;
    for (DWORD index = 0; index < count && index < allocated; ++index) {
        if (IsBlasterDescription(records[index].Description)) {
            ++matches;
            CopyRecordDescription(chosenDescription, records[index]);
        }
    }
    std::free(records);

    if (matches > 1) {
        return Multiple;
    }
    if (matches == 0) {
        return NoneFound;
    }
    return Found;
}
