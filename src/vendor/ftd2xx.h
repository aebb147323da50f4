// Declarations of the chip vendor's FTD2XX driver library that the tool calls,
// written from the names, values and record layouts the vendor publishes.
// Any library that exports these seven functions with this ABI can stand behind
// them: the vendor's own, or the project's simulated driver.
#ifndef ZUV_VENDOR_FTD2XX_H
#define ZUV_VENDOR_FTD2XX_H

#include <stddef.h>

#if defined(_WIN32)
// The same types <windows.h> declares; repeating an identical typedef is allowed.
typedef unsigned long DWORD;
typedef unsigned short WORD;
typedef unsigned char UCHAR;
typedef void* PVOID;
#ifndef WINAPI
#define WINAPI __stdcall
#endif
#else
typedef unsigned int DWORD;
typedef unsigned short WORD;
typedef unsigned char UCHAR;
typedef void* PVOID;
#define WINAPI
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef PVOID FT_HANDLE;
typedef DWORD FT_STATUS; // 32 bits wide on every platform the tool builds for

enum {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_DEVICE_NOT_OPENED_FOR_ERASE = 8,
    FT_DEVICE_NOT_OPENED_FOR_WRITE = 9,
    FT_FAILED_TO_WRITE_DEVICE = 10,
    FT_EEPROM_READ_FAILED = 11,
    FT_EEPROM_WRITE_FAILED = 12,
    FT_EEPROM_ERASE_FAILED = 13,
    FT_EEPROM_NOT_PRESENT = 14,
    FT_EEPROM_NOT_PROGRAMMED = 15,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18
};

// Flags of FT_OpenEx.
#define FT_OPEN_BY_SERIAL_NUMBER 1
#define FT_OPEN_BY_DESCRIPTION 2
#define FT_OPEN_BY_LOCATION 4

// Bits of FT_DEVICE_LIST_INFO_NODE::Flags.
#define FT_FLAGS_OPENED 1
#define FT_FLAGS_HISPEED 2

// Values of FT_DEVICE_LIST_INFO_NODE::Type.
enum {
    FT_DEVICE_BM = 0,
    FT_DEVICE_AM = 1,
    FT_DEVICE_100AX = 2,
    FT_DEVICE_UNKNOWN = 3,
    FT_DEVICE_2232C = 4,
    FT_DEVICE_232R = 5,
    FT_DEVICE_2232H = 6,
    FT_DEVICE_4232H = 7,
    FT_DEVICE_232H = 8,
    FT_DEVICE_X_SERIES = 9
};

// One entry of the device list. Description is NUL-terminated only when it is
// shorter than its field.
typedef struct _ft_device_list_info_node {
    DWORD Flags;
    DWORD Type;
    DWORD ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
} FT_DEVICE_LIST_INFO_NODE;

// The EEPROM contents, in the layout of the record's version 4. The caller sets
// Signature1 = 0x00000000, Signature2 = 0xFFFFFFFF and Version = 4; the four
// string pointers are unused by the Ex calls, which take the strings as arguments.
typedef struct ft_program_data {
    DWORD Signature1;
    DWORD Signature2;
    DWORD Version;
    WORD VendorId;
    WORD ProductId;
    char* Manufacturer;
    char* ManufacturerId;
    char* Description;
    char* SerialNumber;
    WORD MaxPower;
    WORD PnP;
    WORD SelfPowered;
    WORD RemoteWakeup;
    // Version 1 and later: BM chips.
    UCHAR Rev4;
    UCHAR IsoIn;
    UCHAR IsoOut;
    UCHAR PullDownEnable;
    UCHAR SerNumEnable;
    UCHAR USBVersionEnable;
    WORD USBVersion;
    // Version 1 and later: dual-port chips.
    UCHAR Rev5;
    UCHAR IsoInA;
    UCHAR IsoInB;
    UCHAR IsoOutA;
    UCHAR IsoOutB;
    UCHAR PullDownEnable5;
    UCHAR SerNumEnable5;
    UCHAR USBVersionEnable5;
    WORD USBVersion5;
    UCHAR AIsHighCurrent;
    UCHAR BIsHighCurrent;
    UCHAR IFAIsFifo;
    UCHAR IFAIsFifoTar;
    UCHAR IFAIsFastSer;
    UCHAR AIsVCP;
    UCHAR IFBIsFifo;
    UCHAR IFBIsFifoTar;
    UCHAR IFBIsFastSer;
    UCHAR BIsVCP;
    // Version 2 and later: single-port R chips.
    UCHAR UseExtOsc;
    UCHAR HighDriveIOs;
    UCHAR EndpointSize;
    UCHAR PullDownEnableR;
    UCHAR SerNumEnableR;
    UCHAR InvertTXD;
    UCHAR InvertRXD;
    UCHAR InvertRTS;
    UCHAR InvertCTS;
    UCHAR InvertDTR;
    UCHAR InvertDSR;
    UCHAR InvertDCD;
    UCHAR InvertRI;
    UCHAR Cbus0;
    UCHAR Cbus1;
    UCHAR Cbus2;
    UCHAR Cbus3;
    UCHAR Cbus4;
    UCHAR RIsD2XX;
    // Version 3 and later: dual-port high-speed chips.
    UCHAR PullDownEnable7;
    UCHAR SerNumEnable7;
    UCHAR ALSlowSlew;
    UCHAR ALSchmittInput;
    UCHAR ALDriveCurrent;
    UCHAR AHSlowSlew;
    UCHAR AHSchmittInput;
    UCHAR AHDriveCurrent;
    UCHAR BLSlowSlew;
    UCHAR BLSchmittInput;
    UCHAR BLDriveCurrent;
    UCHAR BHSlowSlew;
    UCHAR BHSchmittInput;
    UCHAR BHDriveCurrent;
    UCHAR IFAIsFifo7;
    UCHAR IFAIsFifoTar7;
    UCHAR IFAIsFastSer7;
    UCHAR AIsVCP7;
    UCHAR IFBIsFifo7;
    UCHAR IFBIsFifoTar7;
    UCHAR IFBIsFastSer7;
    UCHAR BIsVCP7;
    UCHAR PowerSaveEnable;
    // Version 4 and later: quad-port high-speed chips.
    UCHAR PullDownEnable8;
    UCHAR SerNumEnable8;
    UCHAR ASlowSlew;
    UCHAR ASchmittInput;
    UCHAR ADriveCurrent;
    UCHAR BSlowSlew;
    UCHAR BSchmittInput;
    UCHAR BDriveCurrent;
    UCHAR CSlowSlew;
    UCHAR CSchmittInput;
    UCHAR CDriveCurrent;
    UCHAR DSlowSlew;
    UCHAR DSchmittInput;
    UCHAR DDriveCurrent;
    UCHAR ARIIsTXDEN;
    UCHAR BRIIsTXDEN;
    UCHAR CRIIsTXDEN;
    UCHAR DRIIsTXDEN;
    UCHAR AIsVCP8;
    UCHAR BIsVCP8;
    UCHAR CIsVCP8;
    UCHAR DIsVCP8;
} FT_PROGRAM_DATA;

// Every function returns FT_OK on success and another status on failure.

// Builds the library's list of attached devices and writes their number.
FT_STATUS WINAPI FT_CreateDeviceInfoList(DWORD* lpdwNumDevs);
// Fills one record per listed device into pDest, which must have room for the
// number the previous FT_CreateDeviceInfoList wrote, and writes the number of records.
FT_STATUS WINAPI FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* pDest, DWORD* lpdwNumDevs);
// Opens a device; with FT_OPEN_BY_DESCRIPTION, pArg1 is the NUL-terminated description.
FT_STATUS WINAPI FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle);
// Reads the EEPROM into the record and the four string buffers.
FT_STATUS WINAPI FT_EE_ReadEx(FT_HANDLE ftHandle, FT_PROGRAM_DATA* pData, char* Manufacturer,
                              char* ManufacturerId, char* Description, char* SerialNumber);
// Writes the record and the four strings into the EEPROM.
FT_STATUS WINAPI FT_EE_ProgramEx(FT_HANDLE ftHandle, FT_PROGRAM_DATA* pData, char* Manufacturer,
                                 char* ManufacturerId, char* Description, char* SerialNumber);
// Makes the device leave and rejoin the USB, so that it is enumerated anew.
FT_STATUS WINAPI FT_CyclePort(FT_HANDLE ftHandle);
// Closes the device.
FT_STATUS WINAPI FT_Close(FT_HANDLE ftHandle);

#ifdef __cplusplus
}
#endif

// The record layouts the vendor's library expects, for the pointer width in use.
#if defined(__cplusplus)
#define FTD2XX_STATIC_ASSERT static_assert
#else
#define FTD2XX_STATIC_ASSERT _Static_assert
#endif
#if defined(_WIN64) || defined(__LP64__)
FTD2XX_STATIC_ASSERT(sizeof(FT_DEVICE_LIST_INFO_NODE) == 104, "device-list record is 104 bytes");
FTD2XX_STATIC_ASSERT(sizeof(FT_PROGRAM_DATA) == 152, "program-data record is 152 bytes");
#else
FTD2XX_STATIC_ASSERT(sizeof(FT_DEVICE_LIST_INFO_NODE) == 100, "device-list record is 100 bytes");
FTD2XX_STATIC_ASSERT(sizeof(FT_PROGRAM_DATA) == 132, "program-data record is 132 bytes");
#endif
FTD2XX_STATIC_ASSERT(offsetof(FT_DEVICE_LIST_INFO_NODE, Description) == 32,
                     "Description lies at byte 32 of the device-list record");
#undef FTD2XX_STATIC_ASSERT

#endif
