// The libftdi driver's seven functions called directly, against chips
// emulated under umockdev: what the tool cannot show, such as the device
// list's records, the record a read fills and the changes a program refuses.
#include "eeprom_image.h"
#include "emulated_chip.h"
#include "vendor/ftd2xx.h"

#include <gtest/gtest.h>

#include <ftdi.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>

namespace {

struct Strings {
    char manufacturer[256];
    char manufacturerId[256];
    char description[256];
    char serial[256];
};

FT_PROGRAM_DATA EmptyRecord() {
    FT_PROGRAM_DATA data;
    std::memset(&data, 0, sizeof data);
    data.Signature1 = 0x00000000;
    data.Signature2 = 0xFFFFFFFF;
    data.Version = 4;
    return data;
}

FT_STATUS Read(FT_HANDLE handle, FT_PROGRAM_DATA* data, Strings* strings) {
    return FT_EE_ReadEx(handle, data, strings->manufacturer, strings->manufacturerId,
                        strings->description, strings->serial);
}

FT_STATUS Program(FT_HANDLE handle, FT_PROGRAM_DATA* data, Strings* strings) {
    return FT_EE_ProgramEx(handle, data, strings->manufacturer, strings->manufacturerId,
                           strings->description, strings->serial);
}

class DriverCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        testbed_ = StartTestbed(&why);
        ASSERT_NE(testbed_, nullptr) << why;
    }

    void TearDown() override {
        if (handle_ != nullptr) {
            FT_Close(handle_);
        }
        StopTestbed(testbed_);
    }

    void OpenBlaster() {
        ASSERT_EQ(FT_OpenEx(const_cast<char*>("ZUV IR Blaster"), FT_OPEN_BY_DESCRIPTION, &handle_),
                  static_cast<FT_STATUS>(FT_OK));
    }

    UsbTestbed* testbed_ = nullptr;
    FT_HANDLE handle_ = nullptr;
};

TEST_F(DriverCalls, ListsEveryChipAndOpensTheFirstWithTheProductString) {
    EmulatedChip* other =
        PlugChip(testbed_, Ft230x, ProgrammedImage(Ft230x, "Maker", "USB Serial Cable", "XS4711"));
    EmulatedChip* mute = PlugChip(testbed_, Ft232r, ProgrammedImage(Ft232r, "ZUV", "Mute", "ZB9"));
    EmulatedChip* blaster =
        PlugChip(testbed_, Ft232r, ProgrammedImage(Ft232r, "ZUV", "ZUV IR Blaster", "ZB000001"));
    ASSERT_TRUE(other != nullptr && mute != nullptr && blaster != nullptr);
    FailStringRequests(mute);

    DWORD count = 0;
    ASSERT_EQ(FT_CreateDeviceInfoList(&count), static_cast<FT_STATUS>(FT_OK));
    ASSERT_EQ(count, 3u);
    FT_DEVICE_LIST_INFO_NODE records[3];
    ASSERT_EQ(FT_GetDeviceInfoList(records, &count), static_cast<FT_STATUS>(FT_OK));
    // libusb lists devices in an order of its own.
    std::set<std::string> listed;
    for (const FT_DEVICE_LIST_INFO_NODE& record : records) {
        char line[160];
        std::snprintf(line, sizeof line, "type %u id %08x \"%s\" \"%s\"", record.Type, record.ID,
                      record.Description, record.SerialNumber);
        listed.insert(line);
    }
    const std::set<std::string> expected = {
        "type 9 id 04036015 \"USB Serial Cable\" \"XS4711\"",
        "type 5 id 04036001 \"\" \"\"", // its strings cannot be read
        "type 5 id 04036001 \"ZUV IR Blaster\" \"ZB000001\"",
    };
    EXPECT_EQ(listed, expected);

    FT_HANDLE none = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char*>("ZUV IR Blaste"), FT_OPEN_BY_DESCRIPTION, &none),
              static_cast<FT_STATUS>(FT_DEVICE_NOT_FOUND));
    EXPECT_EQ(FT_OpenEx(const_cast<char*>("ZB000001"), FT_OPEN_BY_SERIAL_NUMBER, &none),
              static_cast<FT_STATUS>(FT_NOT_SUPPORTED));
    OpenBlaster();
    EXPECT_FALSE(KernelDriverBound(blaster)) << "the serial driver is detached while open";
    EXPECT_TRUE(KernelDriverBound(other));
    ASSERT_EQ(FT_Close(handle_), static_cast<FT_STATUS>(FT_OK));
    EXPECT_TRUE(KernelDriverBound(blaster)) << "and attached again on close";
    EXPECT_EQ(FT_Close(handle_), static_cast<FT_STATUS>(FT_INVALID_HANDLE));
    handle_ = nullptr;
}

TEST_F(DriverCalls, ReadFillsTheRecordAndTheStringsFromTheEeprom) {
    ChipBytes image = ProgrammedImage(Ft232r, "ZUV Labs", "ZUV IR Blaster-4", "ZB000123");
    image[0x08] = 0xE0; // self-powered, remote wake-up
    image[0x09] = 50;   // 100 mA
    image[0x0B] = 0x81; // TXD and RI inverted
    image[0x14] = 0x5A; // CBUS0 10, CBUS1 5
    image[0x0A] = 0x00; // no serial number
    SealImage(Ft232r, &image);
    ASSERT_NE(PlugChip(testbed_, Ft232r, image), nullptr);
    EXPECT_EQ(FT_OpenEx(const_cast<char*>("ZUV IR Blaster-4"), FT_OPEN_BY_DESCRIPTION, &handle_),
              static_cast<FT_STATUS>(FT_OK));

    FT_PROGRAM_DATA data = EmptyRecord();
    Strings strings = {};
    ASSERT_EQ(Read(handle_, &data, &strings), static_cast<FT_STATUS>(FT_OK));
    EXPECT_STREQ(strings.manufacturer, "ZUV Labs");
    EXPECT_STREQ(strings.manufacturerId, "ZB");
    EXPECT_STREQ(strings.description, "ZUV IR Blaster-4");
    EXPECT_STREQ(strings.serial, "ZB000123");
    EXPECT_EQ(data.VendorId, 0x0403);
    EXPECT_EQ(data.ProductId, 0x6001);
    EXPECT_EQ(data.MaxPower, 100);
    EXPECT_EQ(data.SelfPowered, 1);
    EXPECT_EQ(data.RemoteWakeup, 1);
    EXPECT_EQ(data.PnP, 1);
    EXPECT_EQ(data.SerNumEnableR, 0);
    EXPECT_EQ(data.InvertTXD + 2 * data.InvertRXD + 4 * data.InvertRTS + 8 * data.InvertCTS +
                  16 * data.InvertDTR + 32 * data.InvertDSR + 64 * data.InvertDCD +
                  128 * data.InvertRI,
              0x81);
    EXPECT_EQ(data.Cbus0, 10);
    EXPECT_EQ(data.Cbus1, 5);
    EXPECT_EQ(data.Cbus4, 5);
    EXPECT_EQ(data.Signature2, 0xFFFFFFFFu);
}

TEST_F(DriverCalls, ProgramRefusesWhatItCannotWriteAsStrings) {
    EmulatedChip* chip =
        PlugChip(testbed_, Ft232r, ProgrammedImage(Ft232r, "ZUV", "ZUV IR Blaster", "ZB000001"));
    ASSERT_NE(chip, nullptr);
    OpenBlaster();
    FT_PROGRAM_DATA read = EmptyRecord();
    Strings readStrings = {};
    ASSERT_EQ(Read(handle_, &read, &readStrings), static_cast<FT_STATUS>(FT_OK));
    const ChipBytes before = ChipEeprom(chip);

    struct Case {
        const char* name;
        std::function<void(FT_PROGRAM_DATA*, Strings*)> change;
        FT_STATUS expected;
    };
    const Case cases[] = {
        {"nothing changed", [](FT_PROGRAM_DATA*, Strings*) {}, FT_OK},
        {"string pointers set",
         [](FT_PROGRAM_DATA* data, Strings* strings) { data->Description = strings->description; },
         FT_OK},
        {"MaxPower", [](FT_PROGRAM_DATA* data, Strings*) { data->MaxPower = 500; },
         FT_NOT_SUPPORTED},
        {"ProductId", [](FT_PROGRAM_DATA* data, Strings*) { data->ProductId = 0x6015; },
         FT_NOT_SUPPORTED},
        {"a field the chip lacks", [](FT_PROGRAM_DATA* data, Strings*) { data->BIsVCP8 = 1; },
         FT_NOT_SUPPORTED},
        {"ManufacturerId",
         [](FT_PROGRAM_DATA*, Strings* strings) { std::strcpy(strings->manufacturerId, "QQ"); },
         FT_NOT_SUPPORTED},
        {"a string that does not fit",
         [](FT_PROGRAM_DATA*, Strings* strings) {
             std::memset(strings->description, 'D', 60);
             strings->description[60] = '\0';
         },
         FT_INVALID_PARAMETER},
        {"header version", [](FT_PROGRAM_DATA* data, Strings*) { data->Version = 3; },
         FT_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        FT_PROGRAM_DATA data = read;
        Strings strings = readStrings;
        c.change(&data, &strings);
        ClearCounts(chip);
        EXPECT_EQ(Program(handle_, &data, &strings), c.expected) << c.name;
        EXPECT_EQ(CountsOf(chip).eepromWrites, 0) << c.name;
        EXPECT_TRUE(ChipEeprom(chip) == before) << c.name;
    }
    FT_PROGRAM_DATA data = EmptyRecord();
    EXPECT_EQ(FT_EE_ReadEx(nullptr, &data, readStrings.manufacturer, readStrings.manufacturerId,
                           readStrings.description, readStrings.serial),
              static_cast<FT_STATUS>(FT_INVALID_HANDLE));
}

TEST_F(DriverCalls, ReadRefusesAChipWhoseLayoutItDoesNotKnow) {
    EmulatedChip* chip =
        PlugChip(testbed_, Ft232bm, ProgrammedImage(Ft232bm, "ZUV", "ZUV IR Blaster", "ZB000001"));
    ASSERT_NE(chip, nullptr);
    OpenBlaster();
    ClearCounts(chip);
    FT_PROGRAM_DATA data = EmptyRecord();
    Strings strings = {};
    EXPECT_EQ(Read(handle_, &data, &strings), static_cast<FT_STATUS>(FT_NOT_SUPPORTED));
    EXPECT_EQ(CountsOf(chip).eepromReads, 0);
}

// libftdi's own image builder, on an opened chip, lays out images that the
// driver's image logic reads: the same checksum and string layout, for both chips.
TEST_F(DriverCalls, ImagesLibftdiBuildsParseWithTheirStrings) {
    struct Case {
        ChipKind kind;
        EepromChip chip;
        int productId;
    };
    const Case cases[] = {{Ft232r, ChipR, 0x6001}, {Ft230x, ChipX, 0x6015}};
    for (const Case& c : cases) {
        TearDown();
        SetUp();
        ASSERT_NE(PlugChip(testbed_, c.kind, ProgrammedImage(c.kind, "M", "ZUV IR Blaster", "S")),
                  nullptr);
        ftdi_context* context = ftdi_new();
        ASSERT_EQ(ftdi_usb_open_desc(context, 0x0403, c.productId, "ZUV IR Blaster", nullptr), 0);
        ASSERT_EQ(ftdi_eeprom_initdefaults(context, const_cast<char*>("ZUV Labs"),
                                           const_cast<char*>("ZUV IR Blaster-7"),
                                           const_cast<char*>("ZB000777")),
                  0);
        EXPECT_GE(ftdi_eeprom_build(context), 0);
        unsigned char buffer[256] = {};
        ASSERT_EQ(ftdi_get_eeprom_buf(context, buffer, sizeof buffer), 0);
        ftdi_usb_close(context);
        ftdi_free(context);

        const EepromLayout layout = LayoutForChip(c.chip);
        EepromImage image(buffer, buffer + layout.imageBytes);
        ImageStrings strings;
        ASSERT_EQ(ParseImage(image, layout, &strings), ImageOk) << "chip " << c.kind;
        EXPECT_EQ(strings.text[ManufacturerString], "ZUV Labs");
        EXPECT_EQ(strings.text[ProductString], "ZUV IR Blaster-7");
        EXPECT_EQ(strings.text[SerialString], "ZB000777");
    }
}

} // namespace
