#include "rename_run.h"

#include "console.h"
#include "discovery.h"
#include "unit_description.h"
#include "vendor/ftd2xx.h"

#include <cstdio>
#include <cstring>

namespace {

void Print(const char* message) {
    std::fputs(message, stdout);
}

void PrintDiscoveryFailure(DiscoveryOutcome outcome) {
    switch (outcome) {
    case InitFailed:
        Print("Error: failed to initialize\n");
        break;
    case NoneFound:
        Print("Error: No ZUV IR Blaster devices were found!\n");
        break;
    case ListFailed:
        Print("Error: failed to get device information\n");
        break;
    case Multiple:
        Print("Error: Multiple ZUV dongles were detected.\n"
              "Please remove all ZUV units except the one to be renamed\n");
        break;
    case Found:
        break;
    }
}

// The strings the EEPROM read fills and the program call takes back.
struct EepromStrings {
    char Manufacturer[DescriptionBufferSize];
    char ManufacturerId[DescriptionBufferSize];
    char Description[DescriptionBufferSize];
    char SerialNumber[DescriptionBufferSize];
};

// The record as the read expects it: zeroed, with the version-4 header.
void PrepareProgramData(FT_PROGRAM_DATA* data) {
    std::memset(data, 0, sizeof(*data));
    data->Signature1 = 0x00000000;
    data->Signature2 = 0xFFFFFFFF;
    data->Version = 4;
}

// The driver promises terminated strings; a buffer it filled to the brim is
// cut at its last byte rather than read past.
void TerminateStrings(EepromStrings* strings) {
    strings->Manufacturer[DescriptionBufferSize - 1] = '\0';
    strings->ManufacturerId[DescriptionBufferSize - 1] = '\0';
    strings->Description[DescriptionBufferSize - 1] = '\0';
    strings->SerialNumber[DescriptionBufferSize - 1] = '\0';
}

// From the open device to its close: read, ask, write, re-enumerate.
void RenameOpenDevice(FT_HANDLE device) {
    FT_PROGRAM_DATA data;
    PrepareProgramData(&data);
    EepromStrings strings = {};
    if (FT_EE_ReadEx(device, &data, strings.Manufacturer, strings.ManufacturerId,
                     strings.Description, strings.SerialNumber) != FT_OK) {
        Print("Error: failed to read device EEPROM\n");
        return;
    }
    TerminateStrings(&strings);

    std::printf("ZUV Description is: %s\n", strings.Description);
    CutToProductLength(strings.Description);

    Print("Enter the desired unit number (1-8): ");
    int unitKey = ReadKeyWithEcho();
    Print("\n");
    if (!IsUnitKey(unitKey)) {
        Print("Rename cancelled...\n");
        return;
    }
    AppendUnitSuffix(strings.Description, unitKey);

    if (FT_EE_ProgramEx(device, &data, strings.Manufacturer, strings.ManufacturerId,
                        strings.Description, strings.SerialNumber) != FT_OK) {
        Print("ZUV Blaster rename failed!\n");
        return;
    }
    Print("ZUV Blaster rename successful!\n");
    if (FT_CyclePort(device) != FT_OK) {
        Print("\nIMPORTANT: Please unplug and re-plug the ZUV dongle for rename to take effect!\n");
    }
}

} // namespace

void RunRename() {
    Print("ZUV Rename Utility\nOpening Device...\n");

    char chosenDescription[DescriptionBufferSize];
    DiscoveryOutcome outcome = DiscoverBlaster(chosenDescription);
    if (outcome != Found) {
        PrintDiscoveryFailure(outcome);
    } else {
        FT_HANDLE device = nullptr;
        if (FT_OpenEx(chosenDescription, FT_OPEN_BY_DESCRIPTION, &device) != FT_OK) {
            Print("Device Open Failed -- Device Not Found!\n");
        } else {
            RenameOpenDevice(device);
            FT_Close(device);
        }
    }

    Print("Press any key to continue...");
    ReadKeyWithoutEcho();
}
