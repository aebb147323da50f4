// The run against a scripted driver and console: what a driver hands back that
// the simulated one never would.
#include "console.h"
#include "rename_run.h"
#include "vendor/ftd2xx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// What the EEPROM read writes into each of the four buffers (256 bytes each).
std::string gReadStrings[4];
// What the program call received.
std::string gProgrammed[4];
int gPrograms = 0;
int gCloses = 0;

} // namespace

extern "C" FT_STATUS WINAPI FT_CreateDeviceInfoList(DWORD* count) {
    *count = 1;
    return FT_OK;
}

extern "C" FT_STATUS WINAPI FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* records, DWORD* count) {
    std::memset(records, 0, sizeof *records);
    std::strcpy(records[0].Description, "ZUV IR Blaster");
    *count = 1;
    return FT_OK;
}

extern "C" FT_STATUS WINAPI FT_OpenEx(PVOID, DWORD, FT_HANDLE* handle) {
    *handle = reinterpret_cast<FT_HANDLE>(0x1234);
    return FT_OK;
}

extern "C" FT_STATUS WINAPI FT_EE_ReadEx(FT_HANDLE, FT_PROGRAM_DATA*, char* manufacturer,
                                         char* manufacturerId, char* description,
                                         char* serialNumber) {
    char* buffers[4] = {manufacturer, manufacturerId, description, serialNumber};
    for (int i = 0; i < 4; ++i) {
        std::memcpy(buffers[i], gReadStrings[i].data(), gReadStrings[i].size());
    }
    return FT_OK;
}

extern "C" FT_STATUS WINAPI FT_EE_ProgramEx(FT_HANDLE, FT_PROGRAM_DATA*, char* manufacturer,
                                            char* manufacturerId, char* description,
                                            char* serialNumber) {
    ++gPrograms;
    gProgrammed[0] = manufacturer;
    gProgrammed[1] = manufacturerId;
    gProgrammed[2] = description;
    gProgrammed[3] = serialNumber;
    return FT_OK;
}

extern "C" FT_STATUS WINAPI FT_CyclePort(FT_HANDLE) {
    return FT_OK;
}

extern "C" FT_STATUS WINAPI FT_Close(FT_HANDLE) {
    ++gCloses;
    return FT_OK;
}

int ReadKeyWithEcho() {
    return '2';
}

int ReadKeyWithoutEcho() {
    return 'x';
}

namespace {

// A driver that fills every EEPROM string buffer to its last byte without a
// terminator: the run cuts each at that byte instead of reading past it (the
// address sanitizer would stop the test there).
TEST(RenameRunWithScriptedDriver, AFullStringBufferIsCutAtItsLastByte) {
    gReadStrings[0] = std::string(256, 'm');
    gReadStrings[1] = std::string(256, 'i');
    gReadStrings[2] = "ZUV IR Blaster" + std::string(242, 'd');
    gReadStrings[3] = std::string(256, 's');

    testing::internal::CaptureStdout();
    RunRename();
    std::string shown = testing::internal::GetCapturedStdout();

    std::string storedDescription = gReadStrings[2].substr(0, 255);
    EXPECT_NE(shown.find("ZUV Description is: " + storedDescription + "\n"), std::string::npos)
        << shown;
    ASSERT_EQ(gPrograms, 1);
    EXPECT_EQ(gProgrammed[0], std::string(255, 'm'));
    EXPECT_EQ(gProgrammed[1], std::string(255, 'i'));
    EXPECT_EQ(gProgrammed[2], "ZUV IR Blaster-2");
    EXPECT_EQ(gProgrammed[3], std::string(255, 's'));
    EXPECT_EQ(gCloses, 1);
}

} // namespace
