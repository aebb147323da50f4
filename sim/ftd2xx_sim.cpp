// The simulated driver: the seven FTD2XX functions the tool calls, acting on the
// devices of a bus file (see bus.h) instead of real hardware.
//
//   FTD2XX_SIM_BUS  the bus file; unset or empty means nothing is attached. It is
//                   loaded once, on the first call of any function. A file that
//                   cannot be read or parsed is reported once on stderr, and then
//                   every call fails with FT_OTHER_ERROR.
//   FTD2XX_SIM_LOG  a file that gets one line per call, "FT_Name detail -> status",
//                   and "exit N" at process exit, N the handles left open.
//
// The driver is strict: it rejects what the vendor's library rejects, so that a
// tool that works against it does not rely on leniency.
#include "bus.h"
#include "vendor/ftd2xx.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#if defined(_WIN32)
#define SIM_EXPORT // ftd2xx_sim.def exports the undecorated names
#else
#define SIM_EXPORT __attribute__((visibility("default")))
#endif

namespace {

struct DriverState {
    std::mutex mutex;
    bool loaded = false;
    bool broken = false; // the bus file could not be loaded
    std::string busPath;
    SimBus bus;
    // Per device, the value of its open handle, or 0 while it is closed. Handles
    // count up from 1 and are never given out twice in a process.
    std::vector<std::uintptr_t> openHandles;
    std::uintptr_t lastHandle = 0;

    ~DriverState();
};

// A namespace-scope object, so that its destructor writes the exit line even
// when no function was called.
DriverState g_state;

void AppendLog(const std::string& line) {
    const char* path = std::getenv("FTD2XX_SIM_LOG");
    if (path == nullptr || *path == '\0')
        return;
    std::FILE* file = std::fopen(path, "ab");
    if (file == nullptr) {
        static bool reported = false;
        if (!reported)
            std::fprintf(stderr, "FTD2XX_SIM_LOG: %s: %s\n", path, std::strerror(errno));
        reported = true;
        return;
    }
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
}

DriverState::~DriverState() {
    std::size_t open = 0;
    for (std::uintptr_t handle : openHandles)
        open += handle != 0 ? 1 : 0;
    AppendLog("exit " + std::to_string(open));
}

std::string QuoteOrNull(const char* s) {
    return s == nullptr ? "(null)" : "\"" + EscapeBusString(s) + "\"";
}

std::string HandleText(FT_HANDLE handle) {
    return "handle=" + std::to_string(reinterpret_cast<std::uintptr_t>(handle));
}

// Writes the call's log line and returns its status.
FT_STATUS Finish(const char* function, const std::string& detail, FT_STATUS status) {
    AppendLog(function + detail + " -> " + std::to_string(static_cast<unsigned long>(status)));
    return status;
}

void LoadOnce() {
    if (g_state.loaded)
        return;
    g_state.loaded = true;
    const char* path = std::getenv("FTD2XX_SIM_BUS");
    if (path == nullptr || *path == '\0')
        return;
    g_state.busPath = path;
    std::string error;
    if (!LoadBus(g_state.busPath, &g_state.bus, &error)) {
        g_state.bus = SimBus();
        g_state.broken = true;
        std::fprintf(stderr, "%s\n", error.c_str());
        return;
    }
    g_state.openHandles.assign(g_state.bus.devices.size(), 0);
}

// What every call does first: FT_OK to go on, else the status to return at once.
FT_STATUS Enter(const char* function) {
    LoadOnce();
    if (g_state.broken)
        return FT_OTHER_ERROR;
    for (const SimFault& fault : g_state.bus.faults)
        if (fault.function == function)
            return fault.status;
    return FT_OK;
}

// The index of the device open under handle, or -1.
int DeviceOf(FT_HANDLE handle) {
    std::uintptr_t value = reinterpret_cast<std::uintptr_t>(handle);
    for (std::size_t i = 0; value != 0 && i < g_state.openHandles.size(); ++i)
        if (g_state.openHandles[i] == value)
            return static_cast<int>(i);
    return -1;
}

bool HeaderValid(const FT_PROGRAM_DATA& data) {
    return data.Signature1 == 0x00000000 && data.Signature2 == 0xFFFFFFFF && data.Version == 4;
}

void CopyTerminated(const std::string& from, char* to) {
    std::memcpy(to, from.data(), from.size());
    to[from.size()] = '\0';
}

// Copies at most size bytes, with a terminator only when there is room for one.
void CopyIntoField(const std::string& from, char* to, std::size_t size) {
    std::memset(to, 0, size);
    std::memcpy(to, from.data(), from.size() < size ? from.size() : size);
}

FT_STATUS CreateDeviceInfoList(DWORD* count, std::string* detail) {
    if (count == nullptr)
        return FT_INVALID_PARAMETER;
    *count = static_cast<DWORD>(g_state.bus.devices.size());
    *detail += " count=" + std::to_string(g_state.bus.devices.size());
    return FT_OK;
}

FT_STATUS GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* records, DWORD* count, std::string* detail) {
    if (records == nullptr || count == nullptr)
        return FT_INVALID_PARAMETER;
    for (std::size_t i = 0; i < g_state.bus.devices.size(); ++i) {
        const SimDevice& device = g_state.bus.devices[i];
        FT_DEVICE_LIST_INFO_NODE& record = records[i];
        std::memset(&record, 0, sizeof record);
        record.Flags = g_state.openHandles[i] != 0 ? FT_FLAGS_OPENED : 0;
        record.Type = FT_DEVICE_232R;
        record.ID = static_cast<DWORD>(device.data.VendorId) << 16 | device.data.ProductId;
        record.LocId = static_cast<DWORD>(0x11 + i); // stands for the port the device is on
        CopyIntoField(device.serialNumber, record.SerialNumber, sizeof record.SerialNumber);
        CopyIntoField(device.description, record.Description, sizeof record.Description);
        record.ftHandle = reinterpret_cast<FT_HANDLE>(g_state.openHandles[i]);
    }
    *count = static_cast<DWORD>(g_state.bus.devices.size());
    *detail += " count=" + std::to_string(g_state.bus.devices.size());
    return FT_OK;
}

FT_STATUS OpenEx(PVOID arg, DWORD flags, FT_HANDLE* handle, std::string* detail) {
    if (flags != FT_OPEN_BY_DESCRIPTION || arg == nullptr || handle == nullptr)
        return FT_INVALID_PARAMETER;
    const char* description = static_cast<const char*>(arg);
    for (std::size_t i = 0; i < g_state.bus.devices.size(); ++i) {
        if (g_state.bus.devices[i].description != description)
            continue;
        // Only the first device of that description can be opened this way.
        if (g_state.openHandles[i] != 0)
            return FT_DEVICE_NOT_OPENED;
        g_state.openHandles[i] = ++g_state.lastHandle;
        *handle = reinterpret_cast<FT_HANDLE>(g_state.lastHandle);
        *detail += " " + HandleText(*handle);
        return FT_OK;
    }
    return FT_DEVICE_NOT_FOUND;
}

// The checks FT_EE_ReadEx and FT_EE_ProgramEx share, in the order they are made.
FT_STATUS CheckEepromCall(FT_HANDLE handle, const FT_PROGRAM_DATA* data,
                          const char* const strings[4]) {
    if (DeviceOf(handle) < 0)
        return FT_INVALID_HANDLE;
    if (data == nullptr)
        return FT_INVALID_PARAMETER;
    for (int i = 0; i < 4; ++i)
        if (strings[i] == nullptr)
            return FT_INVALID_PARAMETER;
    if (!HeaderValid(*data))
        return FT_INVALID_PARAMETER;
    return FT_OK;
}

FT_STATUS ReadEx(FT_HANDLE handle, FT_PROGRAM_DATA* data, char* strings[4], std::string* detail) {
    const char* const checked[4] = {strings[0], strings[1], strings[2], strings[3]};
    FT_STATUS status = CheckEepromCall(handle, data, checked);
    if (status != FT_OK)
        return status;
    const SimDevice& device = g_state.bus.devices[static_cast<std::size_t>(DeviceOf(handle))];
    for (std::size_t i = 0; i < kSimFieldCount; ++i)
        SetSimField(data, kSimFields[i], GetSimField(device.data, kSimFields[i]));
    CopyTerminated(device.manufacturer, strings[0]);
    CopyTerminated(device.manufacturerId, strings[1]);
    CopyTerminated(device.description, strings[2]);
    CopyTerminated(device.serialNumber, strings[3]);
    *detail += " Description=" + QuoteOrNull(device.description.c_str());
    return FT_OK;
}

FT_STATUS ProgramEx(FT_HANDLE handle, const FT_PROGRAM_DATA* data, const char* const strings[4],
                    std::string* detail) {
    FT_STATUS status = CheckEepromCall(handle, data, strings);
    if (status != FT_OK)
        return status;
    for (int i = 0; i < 4; ++i)
        if (std::strlen(strings[i]) > 255)
            return FT_INVALID_PARAMETER;
    std::size_t index = static_cast<std::size_t>(DeviceOf(handle));
    SimDevice programmed = g_state.bus.devices[index];
    for (std::size_t i = 0; i < kSimFieldCount; ++i) {
        unsigned value = GetSimField(*data, kSimFields[i]);
        if (value != GetSimField(programmed.data, kSimFields[i]))
            *detail += std::string(" ") + kSimFields[i].name + "=" + std::to_string(value);
        SetSimField(&programmed.data, kSimFields[i], value);
    }
    programmed.manufacturer = strings[0];
    programmed.manufacturerId = strings[1];
    programmed.description = strings[2];
    programmed.serialNumber = strings[3];

    SimBus bus = g_state.bus;
    bus.devices[index] = programmed;
    std::string error;
    if (!SaveBus(g_state.busPath, bus, &error)) {
        std::fprintf(stderr, "FT_EE_ProgramEx: cannot rewrite the bus file: %s\n", error.c_str());
        return FT_EEPROM_WRITE_FAILED;
    }
    g_state.bus = bus;
    return FT_OK;
}

std::string ProgramDetail(FT_HANDLE handle, char* manufacturer, char* manufacturerId,
                          char* description, char* serialNumber) {
    return " " + HandleText(handle) + " Manufacturer=" + QuoteOrNull(manufacturer) +
           " ManufacturerId=" + QuoteOrNull(manufacturerId) +
           " Description=" + QuoteOrNull(description) +
           " SerialNumber=" + QuoteOrNull(serialNumber);
}

} // namespace

// Inside extern "C", a definition that strayed from the header's declaration
// would not compile, where outside it would quietly become a C++ overload.
extern "C" {

SIM_EXPORT FT_STATUS WINAPI FT_CreateDeviceInfoList(DWORD* lpdwNumDevs) {
    const char* function = "FT_CreateDeviceInfoList";
    std::lock_guard<std::mutex> lock(g_state.mutex);
    std::string detail;
    FT_STATUS status = Enter(function);
    if (status == FT_OK)
        status = CreateDeviceInfoList(lpdwNumDevs, &detail);
    return Finish(function, detail, status);
}

SIM_EXPORT FT_STATUS WINAPI FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* pDest,
                                                 DWORD* lpdwNumDevs) {
    const char* function = "FT_GetDeviceInfoList";
    std::lock_guard<std::mutex> lock(g_state.mutex);
    std::string detail;
    FT_STATUS status = Enter(function);
    if (status == FT_OK)
        status = GetDeviceInfoList(pDest, lpdwNumDevs, &detail);
    return Finish(function, detail, status);
}

SIM_EXPORT FT_STATUS WINAPI FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    const char* function = "FT_OpenEx";
    std::lock_guard<std::mutex> lock(g_state.mutex);
    // Only with these flags is the argument a string; with others it may be a number.
    bool isString = Flags == FT_OPEN_BY_DESCRIPTION || Flags == FT_OPEN_BY_SERIAL_NUMBER;
    std::string detail = " " +
                         (isString || pArg1 == nullptr
                              ? QuoteOrNull(static_cast<const char*>(pArg1))
                              : "arg=" + std::to_string(reinterpret_cast<std::uintptr_t>(pArg1))) +
                         " flags=" + std::to_string(static_cast<unsigned long>(Flags));
    FT_STATUS status = Enter(function);
    if (status == FT_OK)
        status = OpenEx(pArg1, Flags, pHandle, &detail);
    return Finish(function, detail, status);
}

SIM_EXPORT FT_STATUS WINAPI FT_EE_ReadEx(FT_HANDLE ftHandle, FT_PROGRAM_DATA* pData,
                                         char* Manufacturer, char* ManufacturerId,
                                         char* Description, char* SerialNumber) {
    const char* function = "FT_EE_ReadEx";
    std::lock_guard<std::mutex> lock(g_state.mutex);
    std::string detail = " " + HandleText(ftHandle);
    FT_STATUS status = Enter(function);
    char* strings[4] = {Manufacturer, ManufacturerId, Description, SerialNumber};
    if (status == FT_OK)
        status = ReadEx(ftHandle, pData, strings, &detail);
    return Finish(function, detail, status);
}

SIM_EXPORT FT_STATUS WINAPI FT_EE_ProgramEx(FT_HANDLE ftHandle, FT_PROGRAM_DATA* pData,
                                            char* Manufacturer, char* ManufacturerId,
                                            char* Description, char* SerialNumber) {
    const char* function = "FT_EE_ProgramEx";
    std::lock_guard<std::mutex> lock(g_state.mutex);
    std::string detail =
        ProgramDetail(ftHandle, Manufacturer, ManufacturerId, Description, SerialNumber);
    FT_STATUS status = Enter(function);
    const char* const strings[4] = {Manufacturer, ManufacturerId, Description, SerialNumber};
    if (status == FT_OK)
        status = ProgramEx(ftHandle, pData, strings, &detail);
    return Finish(function, detail, status);
}

SIM_EXPORT FT_STATUS WINAPI FT_CyclePort(FT_HANDLE ftHandle) {
    const char* function = "FT_CyclePort";
    std::lock_guard<std::mutex> lock(g_state.mutex);
    std::string detail = " " + HandleText(ftHandle);
    FT_STATUS status = Enter(function);
    if (status == FT_OK && DeviceOf(ftHandle) < 0)
        status = FT_INVALID_HANDLE;
    return Finish(function, detail, status);
}

SIM_EXPORT FT_STATUS WINAPI FT_Close(FT_HANDLE ftHandle) {
    const char* function = "FT_Close";
    std::lock_guard<std::mutex> lock(g_state.mutex);
    std::string detail = " " + HandleText(ftHandle);
    FT_STATUS status = Enter(function);
    if (status == FT_OK) {
        int device = DeviceOf(ftHandle);
        if (device < 0)
            status = FT_INVALID_HANDLE;
        else
            g_state.openHandles[static_cast<std::size_t>(device)] = 0;
    }
    return Finish(function, detail, status);
}

} // extern "C"
