// The simulated driver's seven functions, each scenario in a child process of
// its own (see in_child.h), against bus files written by the test.
#include "bus.h"
#include "in_child.h"
#include "sim_test_support.h"
#include "vendor/ftd2xx.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string kTwoDevices = "# two devices on the bus\n"
                                "[device]\n"
                                "Description = ZUV IR Blaster\n"
                                "SerialNumber = ZUV00001\n"
                                "[device]\n"
                                "Description = Other Gadget\n"
                                "SerialNumber = OG2\n"
                                "VendorId = 0x1234\n"
                                "ProductId = 0x5678\n";

// A bus file in a folder of its own.
struct TestBus {
    explicit TestBus(const std::string& text) : path(dir.File("bus.txt")) {
        WriteFileText(path, text);
    }
    TempDir dir;
    std::string path;
};

// The arguments of FT_EE_ReadEx and FT_EE_ProgramEx: a record with a valid
// header, and string buffers large enough for any string.
struct Eeprom {
    Eeprom() {
        std::memset(&data, 0x5A, sizeof data);
        data.Signature1 = 0x00000000;
        data.Signature2 = 0xFFFFFFFF;
        data.Version = 4;
        std::memset(strings, 0, sizeof strings);
    }
    FT_PROGRAM_DATA data;
    char strings[4][256]; // Manufacturer, ManufacturerId, Description, SerialNumber
};

FT_STATUS Read(FT_HANDLE handle, Eeprom* e) {
    return FT_EE_ReadEx(handle, &e->data, e->strings[0], e->strings[1], e->strings[2],
                        e->strings[3]);
}

FT_STATUS Program(FT_HANDLE handle, Eeprom* e) {
    return FT_EE_ProgramEx(handle, &e->data, e->strings[0], e->strings[1], e->strings[2],
                           e->strings[3]);
}

FT_STATUS OpenBy(const std::string& description, FT_HANDLE* handle) {
    return FT_OpenEx(const_cast<char*>(description.c_str()), FT_OPEN_BY_DESCRIPTION, handle);
}

FT_HANDLE Open(const std::string& description) {
    FT_HANDLE handle = nullptr;
    EXPECT_EQ(OpenBy(description, &handle), FT_OK) << description;
    return handle;
}

std::vector<FT_DEVICE_LIST_INFO_NODE> List() {
    DWORD count = 0;
    EXPECT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
    std::vector<FT_DEVICE_LIST_INFO_NODE> records(count);
    if (count > 0) {
        EXPECT_EQ(FT_GetDeviceInfoList(records.data(), &count), FT_OK);
    }
    return records;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

std::set<std::string> FolderContents(const std::string& path) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.insert(entry.path().filename().string());
    return names;
}

// One call of each function with arguments it must reject, and how it rejects them.
struct RejectedCall {
    const char* function;
    FT_STATUS (*call)();
    FT_STATUS status;
};
const RejectedCall kRejectedCalls[] = {
    {"FT_CreateDeviceInfoList", [] { return FT_CreateDeviceInfoList(nullptr); },
     FT_INVALID_PARAMETER},
    {"FT_GetDeviceInfoList", [] { return FT_GetDeviceInfoList(nullptr, nullptr); },
     FT_INVALID_PARAMETER},
    {"FT_OpenEx", [] { return FT_OpenEx(nullptr, 0, nullptr); }, FT_INVALID_PARAMETER},
    {"FT_EE_ReadEx",
     [] { return FT_EE_ReadEx(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); },
     FT_INVALID_HANDLE},
    {"FT_EE_ProgramEx",
     [] { return FT_EE_ProgramEx(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr); },
     FT_INVALID_HANDLE},
    {"FT_CyclePort", [] { return FT_CyclePort(nullptr); }, FT_INVALID_HANDLE},
    {"FT_Close", [] { return FT_Close(nullptr); }, FT_INVALID_HANDLE},
};

TEST(SimDriverLoading, NothingIsAttachedWithoutABusFile) {
    for (const char* bus : {static_cast<const char*>(nullptr), ""}) {
        SCOPED_TRACE(bus == nullptr ? "FTD2XX_SIM_BUS unset" : "FTD2XX_SIM_BUS empty");
        InChild(bus, nullptr, [] {
            DWORD count = 99;
            EXPECT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
            EXPECT_EQ(count, 0u);
            FT_HANDLE handle = nullptr;
            EXPECT_EQ(OpenBy("", &handle), FT_DEVICE_NOT_FOUND);
        });
    }
}

TEST(SimDriverLoading, TheBusFileIsReadOnlyOnTheFirstCall) {
    TestBus bus("[device]\nDescription = ZUV IR Blaster\n");
    TestBus other(kTwoDevices);
    InChild(bus.path.c_str(), nullptr, [&] {
        DWORD count = 0;
        ASSERT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
        EXPECT_EQ(count, 1u);
        WriteFileText(bus.path, kTwoDevices);
        setenv("FTD2XX_SIM_BUS", other.path.c_str(), 1);
        ASSERT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
        EXPECT_EQ(count, 1u);
    });
}

TEST(SimDriverLoading, AnUnusableBusFileIsReportedOnceAndFailsEveryCall) {
    struct Case {
        const char* name;
        const char* text; // null: no file
        std::string (*error)(const std::string& path);
    };
    const Case cases[] = {
        {"missing file", nullptr,
         [](const std::string& path) { return path + ": " + std::strerror(ENOENT); }},
        {"malformed file", "# a typo\n[device]\nDescripton = ZUV IR Blaster\n",
         [](const std::string& path) { return path + ":3: unknown field 'Descripton'"; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        std::string path = dir.File("bus.txt");
        if (c.text != nullptr)
            WriteFileText(path, c.text);
        std::string log = dir.File("log.txt");
        InChild(path.c_str(), log.c_str(), [&] {
            RedirectStderr(dir.File("stderr.txt"));
            for (const RejectedCall& call : kRejectedCalls)
                EXPECT_EQ(call.call(), FT_STATUS(FT_OTHER_ERROR)) << call.function;
            FT_HANDLE handle = nullptr;
            EXPECT_EQ(OpenBy("ZUV IR Blaster", &handle), FT_STATUS(FT_OTHER_ERROR));
        });
        EXPECT_EQ(ReadFileText(dir.File("stderr.txt")), c.error(path) + "\n");
        std::vector<std::string> lines = Lines(ReadFileText(log));
        ASSERT_EQ(lines.size(), 9u) << ReadFileText(log);
        for (std::size_t i = 0; i < 8; ++i)
            EXPECT_EQ(lines[i].substr(lines[i].size() - 6), " -> 18") << lines[i];
        EXPECT_EQ(lines[8], "exit 0");
    }
}

TEST(SimDriverList, OneRecordPerDeviceWithItsOpenStateAndHandle) {
    TestBus bus(kTwoDevices);
    InChild(bus.path.c_str(), nullptr, [] {
        FT_HANDLE handle = Open("Other Gadget");
        DWORD count = 0;
        ASSERT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
        ASSERT_EQ(count, 2u);
        FT_DEVICE_LIST_INFO_NODE records[2];
        std::memset(records, 0x5A, sizeof records);
        count = 0;
        ASSERT_EQ(FT_GetDeviceInfoList(records, &count), FT_OK);
        EXPECT_EQ(count, 2u);
        EXPECT_EQ(records[0].Flags, 0u);
        EXPECT_EQ(records[1].Flags, DWORD(FT_FLAGS_OPENED));
        EXPECT_EQ(records[0].Type, DWORD(FT_DEVICE_232R));
        EXPECT_EQ(records[1].Type, DWORD(FT_DEVICE_232R));
        EXPECT_EQ(records[0].ID, 0x04036001u);
        EXPECT_EQ(records[1].ID, 0x12345678u);
        EXPECT_STREQ(records[0].Description, "ZUV IR Blaster");
        EXPECT_STREQ(records[0].SerialNumber, "ZUV00001");
        EXPECT_STREQ(records[1].Description, "Other Gadget");
        EXPECT_STREQ(records[1].SerialNumber, "OG2");
        EXPECT_EQ(records[0].ftHandle, nullptr);
        EXPECT_EQ(records[1].ftHandle, handle);
        EXPECT_NE(records[0].LocId, records[1].LocId);

        const DWORD locations[2] = {records[0].LocId, records[1].LocId};
        ASSERT_EQ(FT_Close(handle), FT_OK);
        ASSERT_EQ(FT_GetDeviceInfoList(records, &count), FT_OK);
        EXPECT_EQ(records[1].Flags, 0u);
        EXPECT_EQ(records[1].ftHandle, nullptr);
        EXPECT_EQ(records[0].LocId, locations[0]);
        EXPECT_EQ(records[1].LocId, locations[1]);

        EXPECT_EQ(FT_CreateDeviceInfoList(nullptr), FT_STATUS(FT_INVALID_PARAMETER));
        EXPECT_EQ(FT_GetDeviceInfoList(nullptr, &count), FT_STATUS(FT_INVALID_PARAMETER));
        EXPECT_EQ(FT_GetDeviceInfoList(records, nullptr), FT_STATUS(FT_INVALID_PARAMETER));
    });
}

TEST(SimDriverList, StringsAreCutToTheirFieldsAndTerminatedOnlyWhenShorter) {
    const std::size_t lengths[] = {15, 16, 17, 63, 64, 65, 255};
    const std::size_t count = sizeof lengths / sizeof lengths[0];
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += "[device]\nDescription = " + std::string(lengths[i], char('A' + i)) +
                "\nSerialNumber = " + std::string(lengths[i], char('a' + i)) + "\n";
    TestBus bus(text);
    InChild(bus.path.c_str(), nullptr, [&] {
        DWORD listed = 0;
        ASSERT_EQ(FT_CreateDeviceInfoList(&listed), FT_OK);
        ASSERT_EQ(listed, count);
        std::vector<FT_DEVICE_LIST_INFO_NODE> records(count);
        std::memset(records.data(), 0x5A, count * sizeof records[0]);
        ASSERT_EQ(FT_GetDeviceInfoList(records.data(), &listed), FT_OK);
        for (std::size_t i = 0; i < count; ++i) {
            SCOPED_TRACE("strings of " + std::to_string(lengths[i]) + " bytes");
            struct {
                const char* field;
                const char* bytes;
                std::size_t size;
                char letter;
            } const fields[] = {
                {"Description", records[i].Description, sizeof records[i].Description,
                 char('A' + i)},
                {"SerialNumber", records[i].SerialNumber, sizeof records[i].SerialNumber,
                 char('a' + i)},
            };
            for (const auto& f : fields) {
                std::size_t copied = lengths[i] < f.size ? lengths[i] : f.size;
                EXPECT_EQ(std::string(f.bytes, copied), std::string(copied, f.letter)) << f.field;
                if (lengths[i] < f.size) {
                    EXPECT_EQ(f.bytes[lengths[i]], '\0') << f.field << " has no terminator";
                }
            }
        }
    });
}

TEST(SimDriverOpen, RejectsAnythingButAnExactDescription) {
    struct Case {
        const char* name;
        PVOID arg;
        DWORD flags;
        bool handlePointer;
        FT_STATUS status;
    };
    const Case cases[] = {
        {"by serial number", const_cast<char*>("ZUV00001"), FT_OPEN_BY_SERIAL_NUMBER, true,
         FT_INVALID_PARAMETER},
        {"by location", reinterpret_cast<PVOID>(std::uintptr_t(0x11)), FT_OPEN_BY_LOCATION, true,
         FT_INVALID_PARAMETER},
        {"no flags", const_cast<char*>("ZUV IR Blaster"), 0, true, FT_INVALID_PARAMETER},
        {"two flags", const_cast<char*>("ZUV IR Blaster"),
         FT_OPEN_BY_DESCRIPTION | FT_OPEN_BY_SERIAL_NUMBER, true, FT_INVALID_PARAMETER},
        {"null description", nullptr, FT_OPEN_BY_DESCRIPTION, true, FT_INVALID_PARAMETER},
        {"null handle pointer", const_cast<char*>("ZUV IR Blaster"), FT_OPEN_BY_DESCRIPTION, false,
         FT_INVALID_PARAMETER},
        {"unknown", const_cast<char*>("Nothing"), FT_OPEN_BY_DESCRIPTION, true,
         FT_DEVICE_NOT_FOUND},
        {"prefix", const_cast<char*>("ZUV IR"), FT_OPEN_BY_DESCRIPTION, true, FT_DEVICE_NOT_FOUND},
        {"other case", const_cast<char*>("zuv ir blaster"), FT_OPEN_BY_DESCRIPTION, true,
         FT_DEVICE_NOT_FOUND},
        {"trailing blank", const_cast<char*>("ZUV IR Blaster "), FT_OPEN_BY_DESCRIPTION, true,
         FT_DEVICE_NOT_FOUND},
        {"empty", const_cast<char*>(""), FT_OPEN_BY_DESCRIPTION, true, FT_DEVICE_NOT_FOUND},
    };
    TestBus bus(kTwoDevices);
    InChild(bus.path.c_str(), nullptr, [&] {
        for (const Case& c : cases) {
            FT_HANDLE untouched = reinterpret_cast<FT_HANDLE>(std::uintptr_t(0x5A5A));
            FT_HANDLE handle = untouched;
            EXPECT_EQ(FT_OpenEx(c.arg, c.flags, c.handlePointer ? &handle : nullptr), c.status)
                << c.name;
            EXPECT_EQ(handle, untouched) << c.name;
        }
        for (const FT_DEVICE_LIST_INFO_NODE& record : List())
            EXPECT_EQ(record.Flags, 0u) << record.Description;
        Open("ZUV IR Blaster");
    });
}

TEST(SimDriverOpen, OnlyTheFirstDeviceOfADescriptionOpensAndOnlyOnce) {
    TestBus bus("[device]\nDescription = Twin\nSerialNumber = T1\n"
                "[device]\nDescription = Twin\nSerialNumber = T2\n");
    InChild(bus.path.c_str(), nullptr, [] {
        FT_HANDLE first = Open("Twin");
        std::vector<FT_DEVICE_LIST_INFO_NODE> records = List();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_EQ(records[0].ftHandle, first);
        EXPECT_EQ(records[1].ftHandle, nullptr);

        FT_HANDLE again = nullptr;
        EXPECT_EQ(OpenBy("Twin", &again), FT_STATUS(FT_DEVICE_NOT_OPENED));
        EXPECT_EQ(again, nullptr);

        ASSERT_EQ(FT_Close(first), FT_OK);
        FT_HANDLE reopened = Open("Twin");
        EXPECT_NE(reopened, nullptr);
        EXPECT_NE(reopened, first) << "a handle was given out twice";
    });
}

TEST(SimDriverHandles, StaleOrMadeUpHandlesAreRejected) {
    TestBus bus(kTwoDevices);
    InChild(bus.path.c_str(), nullptr, [] {
        FT_HANDLE closed = Open("ZUV IR Blaster");
        ASSERT_EQ(FT_Close(closed), FT_OK);
        FT_HANDLE blaster = Open("ZUV IR Blaster");
        FT_HANDLE gadget = Open("Other Gadget");
        FT_HANDLE madeUp =
            reinterpret_cast<FT_HANDLE>(reinterpret_cast<std::uintptr_t>(gadget) + 1000);
        struct {
            const char* name;
            FT_HANDLE handle;
        } const bad[] = {{"closed", closed}, {"null", nullptr}, {"made up", madeUp}};
        for (const auto& b : bad) {
            Eeprom e;
            EXPECT_EQ(Read(b.handle, &e), FT_STATUS(FT_INVALID_HANDLE)) << b.name;
            EXPECT_EQ(Program(b.handle, &e), FT_STATUS(FT_INVALID_HANDLE)) << b.name;
            EXPECT_EQ(FT_CyclePort(b.handle), FT_STATUS(FT_INVALID_HANDLE)) << b.name;
            EXPECT_EQ(FT_Close(b.handle), FT_STATUS(FT_INVALID_HANDLE)) << b.name;
        }
        // Each handle reaches its own device.
        Eeprom e;
        ASSERT_EQ(Read(gadget, &e), FT_OK);
        EXPECT_STREQ(e.strings[2], "Other Gadget");
        ASSERT_EQ(Read(blaster, &e), FT_OK);
        EXPECT_STREQ(e.strings[2], "ZUV IR Blaster");
        EXPECT_EQ(FT_CyclePort(blaster), FT_OK);
        EXPECT_EQ(FT_Close(blaster), FT_OK);
        EXPECT_EQ(FT_Close(blaster), FT_STATUS(FT_INVALID_HANDLE));
    });
}

TEST(SimDriverEeprom, ReadAndProgramRejectBadArguments) {
    struct Case {
        const char* name;
        bool closedHandle;
        int nullString; // index into Eeprom::strings, or -1
        bool nullRecord;
        void (*spoilHeader)(FT_PROGRAM_DATA*);
        FT_STATUS status;
    };
    const Case cases[] = {
        {"null record", false, -1, true, nullptr, FT_INVALID_PARAMETER},
        {"null Manufacturer", false, 0, false, nullptr, FT_INVALID_PARAMETER},
        {"null ManufacturerId", false, 1, false, nullptr, FT_INVALID_PARAMETER},
        {"null Description", false, 2, false, nullptr, FT_INVALID_PARAMETER},
        {"null SerialNumber", false, 3, false, nullptr, FT_INVALID_PARAMETER},
        {"Signature1 1", false, -1, false, [](FT_PROGRAM_DATA* d) { d->Signature1 = 1; },
         FT_INVALID_PARAMETER},
        {"Signature2 0", false, -1, false, [](FT_PROGRAM_DATA* d) { d->Signature2 = 0; },
         FT_INVALID_PARAMETER},
        {"Version 3", false, -1, false, [](FT_PROGRAM_DATA* d) { d->Version = 3; },
         FT_INVALID_PARAMETER},
        {"Version 5", false, -1, false, [](FT_PROGRAM_DATA* d) { d->Version = 5; },
         FT_INVALID_PARAMETER},
        {"closed handle and null record", true, -1, true, nullptr, FT_INVALID_HANDLE},
    };
    TestBus bus(kTwoDevices);
    const std::string before = ReadFileText(bus.path);
    InChild(bus.path.c_str(), nullptr, [&] {
        FT_HANDLE closed = Open("Other Gadget");
        ASSERT_EQ(FT_Close(closed), FT_OK);
        FT_HANDLE handle = Open("ZUV IR Blaster");
        for (const Case& c : cases) {
            for (bool program : {false, true}) {
                Eeprom e;
                std::strcpy(e.strings[2], "Renamed");
                if (c.spoilHeader != nullptr)
                    c.spoilHeader(&e.data);
                char* s[4] = {e.strings[0], e.strings[1], e.strings[2], e.strings[3]};
                if (c.nullString >= 0)
                    s[c.nullString] = nullptr;
                FT_HANDLE h = c.closedHandle ? closed : handle;
                FT_PROGRAM_DATA* record = c.nullRecord ? nullptr : &e.data;
                FT_STATUS status = program ? FT_EE_ProgramEx(h, record, s[0], s[1], s[2], s[3])
                                           : FT_EE_ReadEx(h, record, s[0], s[1], s[2], s[3]);
                EXPECT_EQ(status, c.status)
                    << (program ? "FT_EE_ProgramEx" : "FT_EE_ReadEx") << ", " << c.name;
                EXPECT_EQ(e.data.VendorId, 0x5A5A) << c.name << ": the record was written";
            }
        }
        Eeprom e;
        ASSERT_EQ(Read(handle, &e), FT_OK);
        EXPECT_STREQ(e.strings[2], "ZUV IR Blaster");
    });
    EXPECT_EQ(ReadFileText(bus.path), before);
}

TEST(SimDriverEeprom, ReadFillsEveryFieldAndStringButNotTheHeaderOrPointers) {
    SimBus contents;
    contents.devices = {DistinctDevice()};
    const SimDevice& device = contents.devices[0];
    TestBus bus(FormatBus(contents));
    InChild(bus.path.c_str(), nullptr, [&] {
        FT_HANDLE handle = Open(device.description);
        Eeprom e;
        char marks[4];
        e.data.Manufacturer = &marks[0];
        e.data.ManufacturerId = &marks[1];
        e.data.Description = &marks[2];
        e.data.SerialNumber = &marks[3];
        std::memset(e.strings, 0x5A, sizeof e.strings);
        ASSERT_EQ(Read(handle, &e), FT_OK);
        for (std::size_t i = 0; i < kSimFieldCount; ++i)
            EXPECT_EQ(GetSimField(e.data, kSimFields[i]), GetSimField(device.data, kSimFields[i]))
                << kSimFields[i].name;
        EXPECT_EQ(e.data.Signature1, 0u);
        EXPECT_EQ(e.data.Signature2, 0xFFFFFFFFu);
        EXPECT_EQ(e.data.Version, 4u);
        EXPECT_EQ(e.data.Manufacturer, &marks[0]);
        EXPECT_EQ(e.data.ManufacturerId, &marks[1]);
        EXPECT_EQ(e.data.Description, &marks[2]);
        EXPECT_EQ(e.data.SerialNumber, &marks[3]);
        const std::string* strings[4] = {&device.manufacturer, &device.manufacturerId,
                                         &device.description, &device.serialNumber};
        for (int i = 0; i < 4; ++i) // with the terminator
            EXPECT_EQ(std::string(e.strings[i], strings[i]->size() + 1),
                      std::string(*strings[i]).append(1, '\0'))
                << "string " << i;
    });
}

TEST(SimDriverEeprom, ProgramStoresEverythingAndRewritesTheBusFile) {
    const std::string text = kTwoDevices + "# faults stay\n[fail]\nFT_CyclePort = 4\n";
    TestBus bus(text);
    SimBus expected;
    std::string error;
    ASSERT_TRUE(ParseBus(text, bus.path, &expected, &error)) << error;
    SimDevice programmed = DistinctDevice();
    programmed.manufacturer = "Zed Works";
    programmed.manufacturerId = "ZW";
    programmed.description = " ZUV IR Blaster-2 \\ ";
    programmed.serialNumber = "ZUV00001";
    expected.devices[0] = programmed;

    InChild(bus.path.c_str(), nullptr, [&] {
        FT_HANDLE handle = Open("ZUV IR Blaster");
        Eeprom e;
        ASSERT_EQ(Read(handle, &e), FT_OK);
        for (std::size_t i = 0; i < kSimFieldCount; ++i)
            SetSimField(&e.data, kSimFields[i], GetSimField(programmed.data, kSimFields[i]));
        std::strcpy(e.strings[0], programmed.manufacturer.c_str());
        std::strcpy(e.strings[1], programmed.manufacturerId.c_str());
        std::strcpy(e.strings[2], programmed.description.c_str());
        std::strcpy(e.strings[3], programmed.serialNumber.c_str());
        ASSERT_EQ(Program(handle, &e), FT_OK);

        Eeprom back;
        ASSERT_EQ(Read(handle, &back), FT_OK);
        for (std::size_t i = 0; i < kSimFieldCount; ++i)
            EXPECT_EQ(GetSimField(back.data, kSimFields[i]),
                      GetSimField(programmed.data, kSimFields[i]))
                << kSimFields[i].name;
        EXPECT_EQ(back.strings[2], programmed.description);
        EXPECT_STREQ(List()[0].Description, programmed.description.c_str());
        ASSERT_EQ(FT_Close(handle), FT_OK);
        FT_HANDLE renamed = nullptr;
        EXPECT_EQ(OpenBy("ZUV IR Blaster", &renamed), FT_STATUS(FT_DEVICE_NOT_FOUND));
        EXPECT_EQ(OpenBy(programmed.description, &renamed), FT_OK);
    });

    SimBus after;
    ASSERT_TRUE(LoadBus(bus.path, &after, &error)) << error;
    EXPECT_EQ(after, expected);
    EXPECT_EQ(ReadFileText(bus.path), FormatBus(expected)) << "comments are not kept";
    EXPECT_EQ(FolderContents(bus.dir.path()), std::set<std::string>{"bus.txt"});
}

TEST(SimDriverEeprom, ProgramTakesStringsOfAtMost255Bytes) {
    TestBus bus(kTwoDevices);
    const std::string before = ReadFileText(bus.path);
    InChild(bus.path.c_str(), nullptr, [&] {
        FT_HANDLE handle = Open("ZUV IR Blaster");
        for (int tooLong = 0; tooLong < 4; ++tooLong) {
            Eeprom e;
            ASSERT_EQ(Read(handle, &e), FT_OK);
            char longer[257];
            std::memset(longer, 'x', 256);
            longer[256] = '\0';
            char* s[4] = {e.strings[0], e.strings[1], e.strings[2], e.strings[3]};
            s[tooLong] = longer;
            EXPECT_EQ(FT_EE_ProgramEx(handle, &e.data, s[0], s[1], s[2], s[3]),
                      FT_STATUS(FT_INVALID_PARAMETER))
                << "string " << tooLong << " of 256 bytes";
        }
        EXPECT_EQ(ReadFileText(bus.path), before);
        Eeprom e;
        ASSERT_EQ(Read(handle, &e), FT_OK);
        for (int i = 0; i < 4; ++i) {
            std::memset(e.strings[i], 'm' + i, 255);
            e.strings[i][255] = '\0';
        }
        EXPECT_EQ(Program(handle, &e), FT_OK);
    });
    SimBus after;
    std::string error;
    ASSERT_TRUE(LoadBus(bus.path, &after, &error)) << error;
    EXPECT_EQ(after.devices[0].manufacturer, std::string(255, 'm'));
    EXPECT_EQ(after.devices[0].serialNumber, std::string(255, 'p'));
}

TEST(SimDriverEeprom, AFailedSaveKeepsTheOldContents) {
    TestBus bus(kTwoDevices);
    TempDir out;
    InChild(bus.path.c_str(), nullptr, [&] {
        RedirectStderr(out.File("stderr.txt"));
        FT_HANDLE handle = Open("ZUV IR Blaster");
        Eeprom e;
        ASSERT_EQ(Read(handle, &e), FT_OK);
        std::filesystem::remove_all(bus.dir.path()); // even root cannot write there now
        std::strcpy(e.strings[2], "Renamed");
        e.data.Cbus0 = 9;
        EXPECT_EQ(Program(handle, &e), FT_STATUS(FT_EEPROM_WRITE_FAILED));

        Eeprom back;
        ASSERT_EQ(Read(handle, &back), FT_OK);
        EXPECT_STREQ(back.strings[2], "ZUV IR Blaster");
        EXPECT_EQ(back.data.Cbus0, 3);
        EXPECT_STREQ(List()[0].Description, "ZUV IR Blaster");
        ASSERT_EQ(FT_Close(handle), FT_OK);
        FT_HANDLE renamed = nullptr;
        EXPECT_EQ(OpenBy("Renamed", &renamed), FT_STATUS(FT_DEVICE_NOT_FOUND));
    });
    std::string stderrText = ReadFileText(out.File("stderr.txt"));
    EXPECT_EQ(Lines(stderrText).size(), 1u) << stderrText;
    EXPECT_NE(stderrText.find("FT_EE_ProgramEx"), std::string::npos) << stderrText;
    EXPECT_NE(stderrText.find(bus.path), std::string::npos) << stderrText;
    EXPECT_NE(stderrText.find(std::strerror(ENOENT)), std::string::npos) << stderrText;
}

TEST(SimDriverFaults, AFaultIsReturnedBeforeAnyCheckAndOnlyByItsFunction) {
    for (const RejectedCall& faulty : kRejectedCalls) {
        SCOPED_TRACE(faulty.function);
        TestBus bus(kTwoDevices + "[fail]\n" + faulty.function + " = 0xDEADBEEF\n");
        InChild(bus.path.c_str(), nullptr, [&] {
            for (const RejectedCall& call : kRejectedCalls)
                EXPECT_EQ(call.call(), &call == &faulty ? FT_STATUS(0xDEADBEEF) : call.status)
                    << call.function;
        });
    }
}

TEST(SimDriverFaults, AFaultyListOrOpenWritesNothing) {
    TestBus bus(kTwoDevices + "[fail]\nFT_CreateDeviceInfoList = 4\nFT_GetDeviceInfoList = 4\n"
                              "FT_OpenEx = 3\n");
    std::string log = bus.dir.File("log.txt");
    InChild(bus.path.c_str(), log.c_str(), [] {
        DWORD count = 77;
        EXPECT_EQ(FT_CreateDeviceInfoList(&count), FT_STATUS(FT_IO_ERROR));
        EXPECT_EQ(count, 77u);
        FT_DEVICE_LIST_INFO_NODE records[2];
        std::memset(records, 0x5A, sizeof records);
        EXPECT_EQ(FT_GetDeviceInfoList(records, &count), FT_STATUS(FT_IO_ERROR));
        EXPECT_EQ(count, 77u);
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(records);
        for (std::size_t i = 0; i < sizeof records; ++i)
            ASSERT_EQ(bytes[i], 0x5A) << "record byte " << i << " written";
        FT_HANDLE handle = nullptr;
        EXPECT_EQ(OpenBy("ZUV IR Blaster", &handle), FT_STATUS(FT_DEVICE_NOT_OPENED));
        EXPECT_EQ(handle, nullptr);
    });
    EXPECT_EQ(Lines(ReadFileText(log)).back(), "exit 0") << "a faulty open left a handle open";
}

TEST(SimDriverFaults, AFaultyEepromCallOrCloseChangesNothing) {
    TestBus bus(kTwoDevices + "[fail]\nFT_EE_ReadEx = 11\nFT_EE_ProgramEx = 12\n"
                              "FT_CyclePort = 4\nFT_Close = 4\n");
    const std::string before = ReadFileText(bus.path);
    std::string log = bus.dir.File("log.txt");
    InChild(bus.path.c_str(), log.c_str(), [] {
        FT_HANDLE handle = Open("ZUV IR Blaster");
        Eeprom e;
        Eeprom untouched;
        EXPECT_EQ(Read(handle, &e), FT_STATUS(FT_EEPROM_READ_FAILED));
        EXPECT_EQ(std::memcmp(&e, &untouched, sizeof e), 0) << "the read wrote something";
        std::strcpy(e.strings[2], "Renamed");
        EXPECT_EQ(Program(handle, &e), FT_STATUS(FT_EEPROM_WRITE_FAILED));
        EXPECT_EQ(FT_CyclePort(handle), FT_STATUS(FT_IO_ERROR));
        EXPECT_EQ(FT_Close(handle), FT_STATUS(FT_IO_ERROR));
        std::vector<FT_DEVICE_LIST_INFO_NODE> records = List();
        ASSERT_EQ(records.size(), 2u);
        EXPECT_STREQ(records[0].Description, "ZUV IR Blaster");
        EXPECT_EQ(records[0].ftHandle, handle) << "a faulty close closed the device";
    });
    EXPECT_EQ(ReadFileText(bus.path), before);
    EXPECT_EQ(Lines(ReadFileText(log)).back(), "exit 1");
}

TEST(SimDriverLog, OneLinePerCallThenTheHandlesLeftOpen) {
    TestBus bus(kTwoDevices);
    std::string log = bus.dir.File("log.txt");
    WriteFileText(log, "earlier run\n");
    InChild(bus.path.c_str(), log.c_str(), [] {
        DWORD count = 0;
        FT_DEVICE_LIST_INFO_NODE records[2];
        EXPECT_EQ(FT_CreateDeviceInfoList(&count), FT_OK);
        EXPECT_EQ(FT_GetDeviceInfoList(records, &count), FT_OK);
        FT_HANDLE handle = Open("ZUV IR Blaster");
        Eeprom e;
        EXPECT_EQ(Read(handle, &e), FT_OK);
        std::strcpy(e.strings[2], "ZUV IR Blaster-2 ");
        EXPECT_EQ(Program(handle, &e), FT_OK);
        EXPECT_EQ(FT_CyclePort(handle), FT_OK);
        EXPECT_EQ(FT_Close(handle), FT_OK);
        Open("ZUV IR Blaster-2 ");
        FT_HANDLE none = nullptr;
        EXPECT_EQ(OpenBy("Nothing", &none), FT_STATUS(FT_DEVICE_NOT_FOUND));
    });

    const std::string text = ReadFileText(log);
    std::vector<std::string> lines = Lines(text);
    struct {
        const char* start;
        const char* inside;
        const char* end;
    } const expected[] = {
        {"earlier run", "", ""},
        {"FT_CreateDeviceInfoList", "", " -> 0"},
        {"FT_GetDeviceInfoList", "", " -> 0"},
        {"FT_OpenEx ", "\"ZUV IR Blaster\" flags=2", " -> 0"},
        {"FT_EE_ReadEx ", "", " -> 0"},
        {"FT_EE_ProgramEx ", "Description=\"ZUV IR Blaster-2\\x20\"", " -> 0"},
        {"FT_CyclePort ", "", " -> 0"},
        {"FT_Close ", "", " -> 0"},
        {"FT_OpenEx ", "\"ZUV IR Blaster-2\\x20\" flags=2", " -> 0"},
        {"FT_OpenEx ", "\"Nothing\" flags=2", " -> 2"},
        {"exit 1", "", ""},
    };
    ASSERT_EQ(lines.size(), sizeof expected / sizeof expected[0]) << text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::string end = expected[i].end;
        EXPECT_EQ(line.rfind(expected[i].start, 0), 0u) << line;
        EXPECT_NE(line.find(expected[i].inside), std::string::npos) << line;
        EXPECT_TRUE(line.size() >= end.size() && line.substr(line.size() - end.size()) == end)
            << line;
    }
    // The calls on the open device name the handle the open gave out.
    std::size_t at = lines[3].find("handle=");
    ASSERT_NE(at, std::string::npos) << lines[3];
    std::string handle = lines[3].substr(at, lines[3].find(' ', at) - at);
    for (std::size_t i = 4; i <= 7; ++i)
        EXPECT_NE(lines[i].find(handle + " "), std::string::npos) << lines[i];
}

TEST(SimDriverLog, TheExitLineIsWrittenEvenWithoutCalls) {
    TestBus bus(kTwoDevices);
    std::string log = bus.dir.File("log.txt");
    InChild(bus.path.c_str(), log.c_str(), [] {});
    EXPECT_EQ(ReadFileText(log), "exit 0\n");
}

} // namespace
