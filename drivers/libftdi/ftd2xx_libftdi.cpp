// The seven driver functions the tool calls, on top of libftdi1 and libusb, for
// systems without the chip vendor's library. The EEPROM is read whole and kept
// with the handle; programming rewrites only the string descriptors in that
// image and writes only the words that changed, so every byte libftdi does not
// model stays as it was.
#include "eeprom_image.h"
#include "vendor/ftd2xx.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

// The library is built with hidden visibility; only the seven functions are exported.
#define ZUV_EXPORT __attribute__((visibility("default")))

namespace {

constexpr int VendorId = 0x0403;
// FT232R and BM chips, 2232, 4232, 232H and the X series.
constexpr int ProductIds[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};

// Vendor requests of the chip.
constexpr std::uint8_t ReadEepromRequest = 0x90;
constexpr std::uint8_t WriteEepromRequest = 0x91;
// Before writing the EEPROM, libftdi's own write resets the serial engine,
// polls the modem status and sets this latency timer; the driver sends the
// same in case a chip needs it.
constexpr unsigned char EepromWriteLatency = 0x77;
constexpr int MaxEepromBytes = 256; // what ftdi_read_eeprom reads
constexpr int UsbTimeoutMs = 5000;

struct DeviceHandle {
    ftdi_context* context;
    bool reenumerated; // a port reset made the device a new one; the handle is dead
    bool haveImage;
    EepromChip chip;
    EepromImage image;
    ImageStrings strings;
    FT_PROGRAM_DATA record; // as the last read returned it
    std::string manufacturerId;
};

std::mutex driverMutex; // every call runs alone
std::vector<FT_DEVICE_LIST_INFO_NODE> deviceList;
std::vector<DeviceHandle*> openHandles;

bool IsKnownProduct(const libusb_device_descriptor& descriptor) {
    return descriptor.idVendor == VendorId &&
           std::find(std::begin(ProductIds), std::end(ProductIds), descriptor.idProduct) !=
               std::end(ProductIds);
}

DWORD DeviceType(std::uint16_t bcdDevice) {
    switch (bcdDevice) {
    case 0x0200:
        return FT_DEVICE_AM;
    case 0x0400:
        return FT_DEVICE_BM;
    case 0x0500:
        return FT_DEVICE_2232C;
    case 0x0600:
        return FT_DEVICE_232R;
    case 0x0700:
        return FT_DEVICE_2232H;
    case 0x0800:
        return FT_DEVICE_4232H;
    case 0x0900:
        return FT_DEVICE_232H;
    case 0x1000:
        return FT_DEVICE_X_SERIES;
    default:
        return FT_DEVICE_UNKNOWN;
    }
}

// Copies text into a record field, terminated only when shorter than the field.
template <std::size_t N> void CopyField(char (&field)[N], const char* text) {
    std::strncpy(field, text, N);
}

// The product and serial strings the device reports; false when it cannot be
// opened for them.
bool ReadUsbStrings(ftdi_context* context, libusb_device* device, std::string* product,
                    std::string* serial) {
    char productBuffer[256] = {};
    char serialBuffer[256] = {};
    if (ftdi_usb_get_strings(context, device, nullptr, 0, productBuffer, sizeof productBuffer,
                             serialBuffer, sizeof serialBuffer) < 0) {
        return false;
    }
    *product = productBuffer;
    *serial = serialBuffer;
    return true;
}

// The attached devices of the chip, in libusb's order.
struct UsbDevices {
    libusb_device** all = nullptr;
    std::vector<libusb_device*> chips;
    std::vector<libusb_device_descriptor> descriptors;
};

bool ListChips(ftdi_context* context, UsbDevices* devices) {
    ssize_t count = libusb_get_device_list(context->usb_ctx, &devices->all);
    if (count < 0) {
        devices->all = nullptr;
        return false;
    }
    for (ssize_t index = 0; index < count; ++index) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(devices->all[index], &descriptor) == 0 &&
            IsKnownProduct(descriptor)) {
            devices->chips.push_back(devices->all[index]);
            devices->descriptors.push_back(descriptor);
        }
    }
    return true;
}

void FreeChips(UsbDevices* devices) {
    if (devices->all != nullptr) {
        libusb_free_device_list(devices->all, 1);
    }
    devices->all = nullptr;
}

DeviceHandle* FindHandle(FT_HANDLE handle) {
    auto found = std::find(openHandles.begin(), openHandles.end(), handle);
    return found == openHandles.end() ? nullptr : *found;
}

bool HeaderValid(const FT_PROGRAM_DATA* data) {
    return data != nullptr && data->Signature1 == 0x00000000 && data->Signature2 == 0xFFFFFFFF &&
           data->Version == 4;
}

// What FT_EE_ReadEx and FT_EE_ProgramEx check first, in this order.
FT_STATUS CheckEepromCall(FT_HANDLE handle, const FT_PROGRAM_DATA* data, const char* manufacturer,
                          const char* manufacturerId, const char* description,
                          const char* serialNumber, DeviceHandle** device) {
    *device = FindHandle(handle);
    if (*device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (!HeaderValid(data) || manufacturer == nullptr || manufacturerId == nullptr ||
        description == nullptr || serialNumber == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    if ((*device)->reenumerated) {
        return FT_DEVICE_NOT_OPENED;
    }
    return FT_OK;
}

// Every numeric field of the record after the header; the string pointers are
// not among them, as the Ex calls take the strings as arguments.
// clang-format off
#define ZUV_RECORD_FIELDS(X) \
    X(VendorId) X(ProductId) X(MaxPower) X(PnP) X(SelfPowered) X(RemoteWakeup) \
    X(Rev4) X(IsoIn) X(IsoOut) X(PullDownEnable) X(SerNumEnable) X(USBVersionEnable) \
    X(USBVersion) X(Rev5) X(IsoInA) X(IsoInB) X(IsoOutA) X(IsoOutB) \
    X(PullDownEnable5) X(SerNumEnable5) X(USBVersionEnable5) X(USBVersion5) X(AIsHighCurrent) X(BIsHighCurrent) \
    X(IFAIsFifo) X(IFAIsFifoTar) X(IFAIsFastSer) X(AIsVCP) X(IFBIsFifo) X(IFBIsFifoTar) \
    X(IFBIsFastSer) X(BIsVCP) X(UseExtOsc) X(HighDriveIOs) X(EndpointSize) X(PullDownEnableR) \
    X(SerNumEnableR) X(InvertTXD) X(InvertRXD) X(InvertRTS) X(InvertCTS) X(InvertDTR) \
    X(InvertDSR) X(InvertDCD) X(InvertRI) X(Cbus0) X(Cbus1) X(Cbus2) \
    X(Cbus3) X(Cbus4) X(RIsD2XX) X(PullDownEnable7) X(SerNumEnable7) X(ALSlowSlew) \
    X(ALSchmittInput) X(ALDriveCurrent) X(AHSlowSlew) X(AHSchmittInput) X(AHDriveCurrent) X(BLSlowSlew) \
    X(BLSchmittInput) X(BLDriveCurrent) X(BHSlowSlew) X(BHSchmittInput) X(BHDriveCurrent) X(IFAIsFifo7) \
    X(IFAIsFifoTar7) X(IFAIsFastSer7) X(AIsVCP7) X(IFBIsFifo7) X(IFBIsFifoTar7) X(IFBIsFastSer7) \
    X(BIsVCP7) X(PowerSaveEnable) X(PullDownEnable8) X(SerNumEnable8) X(ASlowSlew) X(ASchmittInput) \
    X(ADriveCurrent) X(BSlowSlew) X(BSchmittInput) X(BDriveCurrent) X(CSlowSlew) X(CSchmittInput) \
    X(CDriveCurrent) X(DSlowSlew) X(DSchmittInput) X(DDriveCurrent) X(ARIIsTXDEN) X(BRIIsTXDEN) \
    X(CRIIsTXDEN) X(DRIIsTXDEN) X(AIsVCP8) X(BIsVCP8) X(CIsVCP8) X(DIsVCP8)
// clang-format on

bool SameRecordFields(const FT_PROGRAM_DATA& a, const FT_PROGRAM_DATA& b) {
#define ZUV_SAME_FIELD(name) &&a.name == b.name
    return true ZUV_RECORD_FIELDS(ZUV_SAME_FIELD);
#undef ZUV_SAME_FIELD
}

void ClearRecordFields(FT_PROGRAM_DATA* data) {
#define ZUV_CLEAR_FIELD(name) data->name = 0;
    ZUV_RECORD_FIELDS(ZUV_CLEAR_FIELD)
#undef ZUV_CLEAR_FIELD
}

int EepromValue(ftdi_context* context, ftdi_eeprom_value name) {
    int value = 0;
    return ftdi_get_eeprom_value(context, name, &value) == 0 ? value : 0;
}

// The record's fields that libftdi decodes for the chip; the others stay 0.
void FillRecord(ftdi_context* context, EepromChip chip, FT_PROGRAM_DATA* data) {
    ClearRecordFields(data);
    data->VendorId = static_cast<WORD>(EepromValue(context, VENDOR_ID));
    data->ProductId = static_cast<WORD>(EepromValue(context, PRODUCT_ID));
    data->MaxPower = static_cast<WORD>(EepromValue(context, MAX_POWER));
    data->PnP = EepromValue(context, IS_NOT_PNP) == 0 ? 1 : 0;
    data->SelfPowered = EepromValue(context, SELF_POWERED) != 0 ? 1 : 0;
    data->RemoteWakeup = EepromValue(context, REMOTE_WAKEUP) != 0 ? 1 : 0;
    if (chip != ChipR) {
        return;
    }
    data->UseExtOsc = EepromValue(context, EXTERNAL_OSCILLATOR) != 0 ? 1 : 0;
    data->HighDriveIOs = EepromValue(context, HIGH_CURRENT) != 0 ? 1 : 0;
    data->PullDownEnableR = EepromValue(context, SUSPEND_PULL_DOWNS) != 0 ? 1 : 0;
    data->SerNumEnableR = EepromValue(context, USE_SERIAL) != 0 ? 1 : 0;
    int invert = EepromValue(context, INVERT);
    data->InvertTXD = (invert & INVERT_TXD) != 0 ? 1 : 0;
    data->InvertRXD = (invert & INVERT_RXD) != 0 ? 1 : 0;
    data->InvertRTS = (invert & INVERT_RTS) != 0 ? 1 : 0;
    data->InvertCTS = (invert & INVERT_CTS) != 0 ? 1 : 0;
    data->InvertDTR = (invert & INVERT_DTR) != 0 ? 1 : 0;
    data->InvertDSR = (invert & INVERT_DSR) != 0 ? 1 : 0;
    data->InvertDCD = (invert & INVERT_DCD) != 0 ? 1 : 0;
    data->InvertRI = (invert & INVERT_RI) != 0 ? 1 : 0;
    data->Cbus0 = static_cast<UCHAR>(EepromValue(context, CBUS_FUNCTION_0));
    data->Cbus1 = static_cast<UCHAR>(EepromValue(context, CBUS_FUNCTION_1));
    data->Cbus2 = static_cast<UCHAR>(EepromValue(context, CBUS_FUNCTION_2));
    data->Cbus3 = static_cast<UCHAR>(EepromValue(context, CBUS_FUNCTION_3));
    data->Cbus4 = static_cast<UCHAR>(EepromValue(context, CBUS_FUNCTION_4));
    data->RIsD2XX = EepromValue(context, CHANNEL_A_DRIVER) == DRIVER_VCP ? 0 : 1;
}

// Serial numbers begin with the maker's two-letter id; the EEPROM keeps no other copy.
std::string ManufacturerIdOf(const std::string& serial) {
    return serial.substr(0, 2);
}

// Reads the whole image into the handle and decodes it.
FT_STATUS ReadImage(DeviceHandle* device) {
    device->haveImage = false;
    ftdi_context* context = device->context;
    if (context->type == TYPE_R) {
        device->chip = ChipR;
    } else if (context->type == TYPE_230X) {
        device->chip = ChipX;
    } else {
        return FT_NOT_SUPPORTED;
    }
    const EepromLayout layout = LayoutForChip(device->chip);
    if (ftdi_read_eeprom(context) < 0) {
        return FT_EEPROM_READ_FAILED;
    }
    unsigned char buffer[MaxEepromBytes] = {};
    if (ftdi_get_eeprom_buf(context, buffer, MaxEepromBytes) < 0) {
        return FT_EEPROM_READ_FAILED;
    }
    device->image.assign(buffer, buffer + layout.imageBytes);
    // libftdi's decode complains on standard error about a bad checksum; it
    // only ever sees an image that has passed the check.
    if (ParseImage(device->image, layout, &device->strings) != ImageOk ||
        ftdi_eeprom_decode(context, 0) < 0) {
        return FT_EEPROM_READ_FAILED;
    }
    FillRecord(context, device->chip, &device->record);
    device->manufacturerId = ManufacturerIdOf(device->strings.text[SerialString]);
    device->haveImage = true;
    return FT_OK;
}

void CopyString(char* destination, const std::string& text) {
    std::memcpy(destination, text.c_str(), text.size() + 1);
}

bool WriteWord(ftdi_context* context, const WordWrite& word) {
    return libusb_control_transfer(context->usb_dev, FTDI_DEVICE_OUT_REQTYPE, WriteEepromRequest,
                                   word.value, word.address, nullptr, 0, UsbTimeoutMs) == 0;
}

bool ReadWord(ftdi_context* context, std::uint16_t address, std::uint16_t* value) {
    unsigned char bytes[2];
    if (libusb_control_transfer(context->usb_dev, FTDI_DEVICE_IN_REQTYPE, ReadEepromRequest, 0,
                                address, bytes, 2, UsbTimeoutMs) != 2) {
        return false;
    }
    *value = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
    return true;
}

// Writes the words, then reads each back.
FT_STATUS WriteWords(ftdi_context* context, const std::vector<WordWrite>& words) {
    unsigned short modemStatus = 0;
    if (ftdi_usb_reset(context) < 0 || ftdi_poll_modem_status(context, &modemStatus) < 0 ||
        ftdi_set_latency_timer(context, EepromWriteLatency) < 0) {
        return FT_IO_ERROR;
    }
    for (const WordWrite& word : words) {
        if (!WriteWord(context, word)) {
            return FT_EEPROM_WRITE_FAILED;
        }
    }
    for (const WordWrite& word : words) {
        std::uint16_t stored = 0;
        if (!ReadWord(context, word.address, &stored) || stored != word.value) {
            return FT_EEPROM_WRITE_FAILED;
        }
    }
    return FT_OK;
}

} // namespace

ZUV_EXPORT FT_STATUS WINAPI FT_CreateDeviceInfoList(DWORD* lpdwNumDevs) {
    std::lock_guard<std::mutex> lock(driverMutex);
    if (lpdwNumDevs == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    ftdi_context* context = ftdi_new();
    if (context == nullptr) {
        return FT_INSUFFICIENT_RESOURCES;
    }
    UsbDevices devices;
    if (!ListChips(context, &devices)) {
        ftdi_free(context);
        return FT_IO_ERROR;
    }
    deviceList.clear();
    for (std::size_t index = 0; index < devices.chips.size(); ++index) {
        libusb_device* device = devices.chips[index];
        const libusb_device_descriptor& descriptor = devices.descriptors[index];
        FT_DEVICE_LIST_INFO_NODE node;
        std::memset(&node, 0, sizeof node);
        node.Type = DeviceType(descriptor.bcdDevice);
        if (node.Type == FT_DEVICE_2232H || node.Type == FT_DEVICE_4232H ||
            node.Type == FT_DEVICE_232H) {
            node.Flags |= FT_FLAGS_HISPEED;
        }
        node.ID = (static_cast<DWORD>(descriptor.idVendor) << 16) | descriptor.idProduct;
        node.LocId = (static_cast<DWORD>(libusb_get_bus_number(device)) << 4) |
                     libusb_get_port_number(device);
        std::string product;
        std::string serial;
        if (ReadUsbStrings(context, device, &product, &serial)) {
            CopyField(node.Description, product.c_str());
            CopyField(node.SerialNumber, serial.c_str());
        }
        deviceList.push_back(node);
    }
    FreeChips(&devices);
    ftdi_free(context);
    *lpdwNumDevs = static_cast<DWORD>(deviceList.size());
    return FT_OK;
}

ZUV_EXPORT FT_STATUS WINAPI FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* pDest,
                                                 DWORD* lpdwNumDevs) {
    std::lock_guard<std::mutex> lock(driverMutex);
    if (pDest == nullptr || lpdwNumDevs == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    std::copy(deviceList.begin(), deviceList.end(), pDest);
    *lpdwNumDevs = static_cast<DWORD>(deviceList.size());
    return FT_OK;
}

ZUV_EXPORT FT_STATUS WINAPI FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle) {
    std::lock_guard<std::mutex> lock(driverMutex);
    if (pHandle == nullptr || pArg1 == nullptr) {
        return FT_INVALID_PARAMETER;
    }
    if (Flags == FT_OPEN_BY_SERIAL_NUMBER || Flags == FT_OPEN_BY_LOCATION) {
        return FT_NOT_SUPPORTED;
    }
    if (Flags != FT_OPEN_BY_DESCRIPTION) {
        return FT_INVALID_PARAMETER;
    }
    const std::string wanted = static_cast<const char*>(pArg1);

    ftdi_context* context = ftdi_new();
    if (context == nullptr) {
        return FT_INSUFFICIENT_RESOURCES;
    }
    // The kernel's serial driver is detached while the device is open and
    // attached again when its interface is released.
    context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    UsbDevices devices;
    if (!ListChips(context, &devices)) {
        ftdi_free(context);
        return FT_IO_ERROR;
    }
    FT_STATUS status = FT_DEVICE_NOT_FOUND;
    for (libusb_device* device : devices.chips) {
        std::string product;
        std::string serial;
        if (ReadUsbStrings(context, device, &product, &serial) && product == wanted) {
            status = ftdi_usb_open_dev(context, device) == 0 ? FT_OK : FT_DEVICE_NOT_OPENED;
            break;
        }
    }
    FreeChips(&devices);
    if (status != FT_OK) {
        ftdi_free(context);
        return status;
    }
    auto* handle = new (std::nothrow) DeviceHandle();
    if (handle == nullptr) {
        ftdi_usb_close(context);
        ftdi_free(context);
        return FT_INSUFFICIENT_RESOURCES;
    }
    handle->context = context;
    openHandles.push_back(handle);
    *pHandle = handle;
    return FT_OK;
}

ZUV_EXPORT FT_STATUS WINAPI FT_EE_ReadEx(FT_HANDLE ftHandle, FT_PROGRAM_DATA* pData,
                                         char* Manufacturer, char* ManufacturerId,
                                         char* Description, char* SerialNumber) {
    std::lock_guard<std::mutex> lock(driverMutex);
    DeviceHandle* device = nullptr;
    FT_STATUS checked = CheckEepromCall(ftHandle, pData, Manufacturer, ManufacturerId, Description,
                                        SerialNumber, &device);
    if (checked != FT_OK) {
        return checked;
    }
    FT_STATUS status = ReadImage(device);
    if (status != FT_OK) {
        return status;
    }
    // The record as returned keeps the caller's header and string pointers.
    FT_PROGRAM_DATA record = *pData;
    FillRecord(device->context, device->chip, &record);
    device->record = record;
    *pData = record;
    CopyString(Manufacturer, device->strings.text[ManufacturerString]);
    CopyString(ManufacturerId, device->manufacturerId);
    CopyString(Description, device->strings.text[ProductString]);
    CopyString(SerialNumber, device->strings.text[SerialString]);
    return FT_OK;
}

ZUV_EXPORT FT_STATUS WINAPI FT_EE_ProgramEx(FT_HANDLE ftHandle, FT_PROGRAM_DATA* pData,
                                            char* Manufacturer, char* ManufacturerId,
                                            char* Description, char* SerialNumber) {
    std::lock_guard<std::mutex> lock(driverMutex);
    DeviceHandle* device = nullptr;
    FT_STATUS checked = CheckEepromCall(ftHandle, pData, Manufacturer, ManufacturerId, Description,
                                        SerialNumber, &device);
    if (checked != FT_OK) {
        return checked;
    }
    if (!device->haveImage) {
        FT_STATUS status = ReadImage(device);
        if (status != FT_OK) {
            return status;
        }
    }
    // Only the strings can be changed: the image is never rebuilt from values.
    if (!SameRecordFields(*pData, device->record) || ManufacturerId != device->manufacturerId) {
        return FT_NOT_SUPPORTED;
    }
    const std::string newText[ImageStringCount] = {Manufacturer, Description, SerialNumber};
    const EepromLayout layout = LayoutForChip(device->chip);
    EepromImage after = device->image;
    switch (RewriteStringDescriptors(&after, layout, device->strings, newText)) {
    case ImageOk:
        break;
    case ImageStringsDontFit:
    case ImageStringTooLong:
        return FT_INVALID_PARAMETER;
    default:
        return FT_EEPROM_WRITE_FAILED;
    }
    const std::vector<WordWrite> words = DiffWords(device->image, after, layout);
    if (words.empty()) {
        return FT_OK;
    }
    // From the first write on, the kept image may no longer match the chip.
    device->haveImage = false;
    FT_STATUS status = WriteWords(device->context, words);
    if (status != FT_OK) {
        return status;
    }
    device->image = after;
    if (ParseImage(device->image, layout, &device->strings) == ImageOk) {
        device->haveImage = true;
    }
    return FT_OK;
}

ZUV_EXPORT FT_STATUS WINAPI FT_CyclePort(FT_HANDLE ftHandle) {
    std::lock_guard<std::mutex> lock(driverMutex);
    DeviceHandle* device = FindHandle(ftHandle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (device->reenumerated) {
        return FT_DEVICE_NOT_OPENED;
    }
    int result = libusb_reset_device(device->context->usb_dev);
    if (result == LIBUSB_ERROR_NOT_FOUND) {
        // The device came back with new descriptors, as a new device.
        device->reenumerated = true;
        return FT_OK;
    }
    return result == 0 ? FT_OK : FT_IO_ERROR;
}

ZUV_EXPORT FT_STATUS WINAPI FT_Close(FT_HANDLE ftHandle) {
    std::lock_guard<std::mutex> lock(driverMutex);
    DeviceHandle* device = FindHandle(ftHandle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    openHandles.erase(std::find(openHandles.begin(), openHandles.end(), device));
    ftdi_usb_close(device->context);
    ftdi_free(device->context);
    delete device;
    return FT_OK;
}
