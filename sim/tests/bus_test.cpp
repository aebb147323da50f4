// The bus model: the field table, the bus file's text in both directions, and
// loading and saving it.
#include "bus.h"
#include "sim_test_support.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

SimBus MustParse(const std::string& text) {
    SimBus bus;
    std::string error;
    EXPECT_TRUE(ParseBus(text, "bus.txt", &bus, &error)) << error << "\nin:\n" << text;
    return bus;
}

std::string Repeat(const std::string& s, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += s;
    return out;
}

std::set<std::string> FolderContents(const std::string& path) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(SimFields, CoverTheRecordButHeaderWordsAndPointers) {
    struct Span {
        std::size_t begin, end, align;
        std::string what;
    };
    const std::size_t pointer = sizeof(char*);
    std::vector<Span> spans = {
        {0, 12, 4, "header words"},
        {offsetof(FT_PROGRAM_DATA, Manufacturer), 0, pointer, "Manufacturer"},
        {offsetof(FT_PROGRAM_DATA, ManufacturerId), 0, pointer, "ManufacturerId"},
        {offsetof(FT_PROGRAM_DATA, Description), 0, pointer, "Description"},
        {offsetof(FT_PROGRAM_DATA, SerialNumber), 0, pointer, "SerialNumber"},
    };
    for (Span& span : spans)
        if (span.end == 0)
            span.end = span.begin + pointer;
    for (std::size_t i = 0; i < kSimFieldCount; ++i) {
        const SimField& field = kSimFields[i];
        ASSERT_TRUE(field.bits == 8 || field.bits == 16) << field.name;
        std::size_t bytes = static_cast<std::size_t>(field.bits / 8);
        spans.push_back({field.offset, field.offset + bytes, bytes, field.name});
        EXPECT_EQ(FindSimField(field.name), &field) << field.name;
    }
    std::sort(spans.begin(), spans.end(),
              [](const Span& a, const Span& b) { return a.begin < b.begin; });
    // Between members there is only the padding that aligns the next one, so a
    // field left out of the table (or given the wrong width) leaves a hole.
    std::size_t end = 0;
    for (const Span& span : spans) {
        std::size_t aligned = (end + span.align - 1) / span.align * span.align;
        EXPECT_EQ(span.begin, aligned) << span.what << " does not follow the member before it";
        end = span.end;
    }
    EXPECT_EQ(sizeof(FT_PROGRAM_DATA), (end + alignof(FT_PROGRAM_DATA) - 1) /
                                           alignof(FT_PROGRAM_DATA) * alignof(FT_PROGRAM_DATA))
        << "fields are missing at the end of the record";
    for (const char* header : {"Signature1", "Signature2", "Version", "vendorid", "Description"})
        EXPECT_EQ(FindSimField(header), nullptr) << header;
}

TEST(SimFields, SetChangesOnlyTheFieldsOwnBytes) {
    for (std::size_t i = 0; i < kSimFieldCount; ++i) {
        const SimField& field = kSimFields[i];
        FT_PROGRAM_DATA data;
        std::memset(&data, 0, sizeof data);
        SetSimField(&data, field, 0xBEEF);
        EXPECT_EQ(GetSimField(data, field), field.bits == 8 ? 0xEFu : 0xBEEFu) << field.name;
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&data);
        for (std::size_t b = 0; b < sizeof data; ++b) {
            if (b < field.offset || b >= field.offset + static_cast<std::size_t>(field.bits / 8)) {
                ASSERT_EQ(bytes[b], 0) << field.name << " wrote byte " << b;
            }
        }
    }
}

TEST(SimDefaults, DeviceWithNoFieldsGivenIsATypicalSinglePortChip) {
    SimBus bus = MustParse("[device]\n");
    ASSERT_EQ(bus.devices.size(), 1u);
    EXPECT_EQ(bus.devices[0], DefaultSimDevice());

    struct {
        const char* name;
        unsigned value;
    } const nonZero[] = {
        {"VendorId", 0x0403}, {"ProductId", 0x6001}, {"MaxPower", 90},     {"PnP", 1},
        {"RemoteWakeup", 1},  {"EndpointSize", 64},  {"SerNumEnableR", 1}, {"Cbus0", 3},
        {"Cbus1", 2},         {"Cbus3", 1},          {"Cbus4", 5},
    };
    const SimDevice device = DefaultSimDevice();
    for (std::size_t i = 0; i < kSimFieldCount; ++i) {
        unsigned expected = 0;
        for (const auto& entry : nonZero)
            if (std::strcmp(entry.name, kSimFields[i].name) == 0)
                expected = entry.value;
        EXPECT_EQ(GetSimField(device.data, kSimFields[i]), expected) << kSimFields[i].name;
    }
    EXPECT_EQ(device.data.Signature1, 0u);
    EXPECT_EQ(device.data.Signature2, 0u);
    EXPECT_EQ(device.data.Version, 0u);
    EXPECT_EQ(device.data.Description, nullptr);
    EXPECT_EQ(
        device.manufacturer + device.manufacturerId + device.description + device.serialNumber, "");
}

TEST(SimParse, RejectsWithFileLineAndTheOffendingText) {
    struct Case {
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"Description = x\n", "bus.txt:1: 'Description' set before any [device] or [fail] section"},
        {"# note\n\n[devices]\n",
         "bus.txt:3: unknown section '[devices]' (expected [device] or [fail])"},
        {"[device] x\n", "bus.txt:1: unknown section '[device] x' (expected [device] or [fail])"},
        {"[device]\nDescripton = x\n", "bus.txt:2: unknown field 'Descripton'"},
        {"[device]\nFT_OpenEx = 4\n", "bus.txt:2: unknown field 'FT_OpenEx'"},
        {"[device]\n  # note\n\nCbus0 = 300\n",
         "bus.txt:4: value 300 out of range for 8-bit field 'Cbus0'"},
        {"[device]\r\nCbus0 = 256\r\n",
         "bus.txt:2: value 256 out of range for 8-bit field 'Cbus0'"},
        {"[device]\nVendorId = 0x10000\n",
         "bus.txt:2: value 0x10000 out of range for 16-bit field 'VendorId'"},
        {"[device]\nVendorId = 123456789012345678901234567890\n",
         "bus.txt:2: value 123456789012345678901234567890 out of range for 16-bit field "
         "'VendorId'"},
        {"[device]\nCbus0 = -1\n", "bus.txt:2: bad number '-1' for 8-bit field 'Cbus0'"},
        {"[device]\nCbus0 = +1\n", "bus.txt:2: bad number '+1' for 8-bit field 'Cbus0'"},
        {"[device]\nCbus0 = 1 2\n", "bus.txt:2: bad number '1 2' for 8-bit field 'Cbus0'"},
        {"[device]\nCbus0 = 12abc\n", "bus.txt:2: bad number '12abc' for 8-bit field 'Cbus0'"},
        {"[device]\nCbus0 = 999x\n", "bus.txt:2: bad number '999x' for 8-bit field 'Cbus0'"},
        {"[device]\nCbus0 = 0x\n", "bus.txt:2: bad number '0x' for 8-bit field 'Cbus0'"},
        {"[device]\nCbus0 = 0xg1\n", "bus.txt:2: bad number '0xg1' for 8-bit field 'Cbus0'"},
        {"[device]\nCbus0 = 1.0\n", "bus.txt:2: bad number '1.0' for 8-bit field 'Cbus0'"},
        {"[device]\nMaxPower =\n", "bus.txt:2: missing value for 16-bit field 'MaxPower'"},
        {"[device]\nCbus0 = 1\nCbus0 = 1\n", "bus.txt:3: 'Cbus0' given twice (first on line 2)"},
        {"[device]\nCbus0 = 1\n[device]\nCbus0 = 1\nCbus0 = 2\n",
         "bus.txt:5: 'Cbus0' given twice (first on line 4)"},
        {"[device]\nDescription = a\nDescription = a\n",
         "bus.txt:3: 'Description' given twice (first on line 2)"},
        {"[device]\nVersion = 4\n", "bus.txt:2: header word 'Version' cannot be set in a bus file"},
        {"[device]\nSignature2 = 0\n",
         "bus.txt:2: header word 'Signature2' cannot be set in a bus file"},
        {"[device]\nDescription = a\\qb\n",
         "bus.txt:2: bad escape '\\q' in value of 'Description' (only \\xNN and \\\\ are "
         "allowed)"},
        {"[device]\nSerialNumber = a\\x4\n",
         "bus.txt:2: bad escape '\\x4' in value of 'SerialNumber' (only \\xNN and \\\\ are "
         "allowed)"},
        {"[device]\nManufacturer = \\xg0\n",
         "bus.txt:2: bad escape '\\xg0' in value of 'Manufacturer' (only \\xNN and \\\\ are "
         "allowed)"},
        {"[device]\nManufacturerId = a\\\n",
         "bus.txt:2: bad escape '\\' in value of 'ManufacturerId' (only \\xNN and \\\\ are "
         "allowed)"},
        {"[device]\nDescription = " + std::string(256, 'a') + "\n",
         "bus.txt:2: value of 'Description' is 256 bytes long, at most 255 allowed"},
        {"[device]\nDescription = a" + Repeat("\\xff", 255) + "\n",
         "bus.txt:2: value of 'Description' is 256 bytes long, at most 255 allowed"},
        {"[device]\nDescription\n", "bus.txt:2: expected 'Name = value', got 'Description'"},
        {"[device]\n= x\n", "bus.txt:2: missing name before '='"},
        {"[fail]\nFT_Open = 4\n", "bus.txt:2: unknown function 'FT_Open'"},
        {"[fail]\nDescription = x\n", "bus.txt:2: unknown function 'Description'"},
        {"[fail]\nFT_OpenEx = 0\n", "bus.txt:2: status of 'FT_OpenEx' must not be 0 (FT_OK)"},
        {"[fail]\nFT_OpenEx = 0x100000000\n",
         "bus.txt:2: status 0x100000000 out of range for 'FT_OpenEx' (32 bits)"},
        {"[fail]\nFT_OpenEx = four\n", "bus.txt:2: bad status 'four' for 'FT_OpenEx'"},
        {"[fail]\nFT_OpenEx =\n", "bus.txt:2: missing status for 'FT_OpenEx'"},
        {"[fail]\nFT_OpenEx = 4\n[device]\n[fail]\nFT_OpenEx = 5\n",
         "bus.txt:5: 'FT_OpenEx' given twice (first on line 2)"},
    };
    for (const Case& c : cases) {
        SimBus bus;
        std::string error;
        EXPECT_FALSE(ParseBus(c.text, "bus.txt", &bus, &error)) << "accepted:\n" << c.text;
        EXPECT_EQ(error, c.error) << "for:\n" << c.text;
    }
}

TEST(SimParse, StringValuesAreTrimmedAndUnescaped) {
    struct Case {
        std::string value;
        std::string bytes;
    };
    const Case cases[] = {
        {"", ""},
        {"  ZUV IR Blaster \t", "ZUV IR Blaster"},
        {"\\x20a  b\\x09", " a  b\t"},
        {"a\\\\b\\\\", "a\\b\\"},
        {"\\x00\\xff\\xFf\\x7E", std::string("\0\xff\xff~", 4)},
        {"x = y # not a comment", "x = y # not a comment"},
        {"caf\xc3\xa9", "caf\xc3\xa9"},
        {std::string(255, 'd'), std::string(255, 'd')},
    };
    for (const Case& c : cases) {
        for (const char* field :
             {"Manufacturer", "ManufacturerId", "Description", "SerialNumber"}) {
            SimBus bus = MustParse(std::string("[device]\n") + field + " = " + c.value + "\n");
            ASSERT_EQ(bus.devices.size(), 1u);
            const SimDevice& d = bus.devices[0];
            std::string got = std::strcmp(field, "Manufacturer") == 0     ? d.manufacturer
                              : std::strcmp(field, "ManufacturerId") == 0 ? d.manufacturerId
                              : std::strcmp(field, "Description") == 0    ? d.description
                                                                          : d.serialNumber;
            EXPECT_EQ(got, c.bytes) << field << " = " << c.value;
        }
    }
}

TEST(SimParse, NumbersInDecimalOrHexUpToTheFieldWidth) {
    struct Case {
        const char* field;
        const char* text;
        unsigned value;
    };
    const Case cases[] = {
        {"VendorId", "0x0403", 0x0403},
        {"ProductId", "0XfFfF", 0xFFFF},
        {"MaxPower", "65535", 65535},
        {"Cbus0", "255", 255},
        {"Cbus0", "0xff", 255},
        {"Cbus1", "007", 7},
        {"PnP", "0", 0},
        {"DIsVCP8", "0x00000001", 1},
    };
    for (const Case& c : cases) {
        SimBus bus = MustParse(std::string("[device]\n") + c.field + " =\t" + c.text + "  \n");
        ASSERT_EQ(bus.devices.size(), 1u);
        EXPECT_EQ(GetSimField(bus.devices[0].data, *FindSimField(c.field)), c.value)
            << c.field << " = " << c.text;
    }
}

TEST(SimParse, SectionsCommentsAndLineEnds) {
    SimBus bus = MustParse("  # a comment after blanks\n"
                           "\n"
                           "  [device]  \n"
                           "Description = First\n"
                           "\t# Description = commented out\n"
                           "SerialNumber = A1\n"
                           "[fail]\n"
                           "FT_OpenEx = 4\n"
                           "[device]\r\n"
                           "Description = Second\r\n"
                           "[fail]\n" // continues the fault section
                           "FT_Close = 0xFFFFFFFF");
    ASSERT_EQ(bus.devices.size(), 2u);
    EXPECT_EQ(bus.devices[0].description, "First");
    EXPECT_EQ(bus.devices[0].serialNumber, "A1");
    EXPECT_EQ(bus.devices[1].description, "Second");
    EXPECT_EQ(bus.faults,
              (std::vector<SimFault>{{"FT_OpenEx", 4}, {"FT_Close", FT_STATUS(0xFFFFFFFF)}}));

    EXPECT_EQ(MustParse(""), SimBus());
    EXPECT_EQ(MustParse("# only a comment\n\n"), SimBus());
}

TEST(SimFormat, EscapesWhatTheParserWouldLoseOrMisread) {
    struct Case {
        std::string bytes;
        std::string text;
    };
    const Case cases[] = {
        {"", ""},
        {"ZUV IR Blaster", "ZUV IR Blaster"},
        {" a  b ", "\\x20a  b\\x20"},
        {" ", "\\x20"},
        {"a\\b", "a\\\\b"},
        {"\t\r\n", "\\x09\\x0d\\x0a"},
        {std::string("\0\x7f\x80\xff", 4), "\\x00\\x7f\\x80\\xff"},
        {"#=[]\"'!~", "#=[]\"'!~"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EscapeBusString(c.bytes), c.text) << "bytes: " << testing::PrintToString(c.bytes);
}

TEST(SimFormat, WritesACommentThenEveryFieldOfEachDeviceThenFaults) {
    SimBus bus;
    bus.devices.push_back(DefaultSimDevice());
    bus.faults.push_back({"FT_CyclePort", 4});
    std::string text = FormatBus(bus);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text[0], '#');
    EXPECT_NE(text.find("\n[device]\n"
                        "Manufacturer =\n"
                        "ManufacturerId =\n"
                        "Description =\n"
                        "SerialNumber =\n"
                        "VendorId = 0x0403\n"
                        "ProductId = 0x6001\n"
                        "MaxPower = 90\n"),
              std::string::npos)
        << text;
    for (std::size_t i = 0; i < kSimFieldCount; ++i)
        EXPECT_NE(text.find("\n" + std::string(kSimFields[i].name) + " = "), std::string::npos)
            << kSimFields[i].name;
    const std::string tail = "\n[fail]\nFT_CyclePort = 4\n";
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(FormatBus(SimBus()).find('['), std::string::npos);
}

TEST(SimFormat, ParsingTheTextGivesTheSameBusBack) {
    SimDevice everyByte = DefaultSimDevice();
    for (int c = 1; c < 256; ++c)
        everyByte.description += static_cast<char>(c);
    everyByte.manufacturer = std::string("\0", 1);
    everyByte.manufacturerId = "\\";
    everyByte.serialNumber = "  ";

    SimBus bus;
    bus.devices = {DistinctDevice(), DefaultSimDevice(), everyByte};
    bus.faults = {{"FT_EE_ProgramEx", 12}, {"FT_OpenEx", FT_STATUS(0xFFFFFFFF)}};
    std::string text = FormatBus(bus);
    SimBus parsed;
    std::string error;
    ASSERT_TRUE(ParseBus(text, "formatted.txt", &parsed, &error)) << error << "\nin:\n" << text;
    EXPECT_EQ(parsed, bus);
    EXPECT_EQ(FormatBus(parsed), text);
}

TEST(SimFiles, LoadReportsTheFileAndWhy) {
    TempDir dir;
    SimBus bus;
    std::string error;
    EXPECT_FALSE(LoadBus(dir.File("missing.txt"), &bus, &error));
    EXPECT_EQ(error, dir.File("missing.txt") + ": " + std::strerror(ENOENT));

    EXPECT_FALSE(LoadBus(dir.path(), &bus, &error)) << "a folder loaded as a bus";
    EXPECT_EQ(error.rfind(dir.path() + ": ", 0), 0u) << error;

    WriteFileText(dir.File("bad.txt"), "[device]\nCbus9 = 1\n");
    EXPECT_FALSE(LoadBus(dir.File("bad.txt"), &bus, &error));
    EXPECT_EQ(error, dir.File("bad.txt") + ":2: unknown field 'Cbus9'");

    WriteFileText(dir.File("good.txt"), "[device]\nDescription = ZUV\n");
    ASSERT_TRUE(LoadBus(dir.File("good.txt"), &bus, &error)) << error;
    ASSERT_EQ(bus.devices.size(), 1u);
    EXPECT_EQ(bus.devices[0].description, "ZUV");
}

TEST(SimFiles, SaveReplacesTheFileAndLeavesNothingElse) {
    TempDir dir;
    std::string path = dir.File("bus.txt");
    WriteFileText(path, "# old contents\n[device]\n");
    SimBus bus;
    bus.devices = {DistinctDevice()};
    bus.faults = {{"FT_Close", 4}};
    std::string error;
    ASSERT_TRUE(SaveBus(path, bus, &error)) << error;
    EXPECT_EQ(ReadFileText(path), FormatBus(bus));
    EXPECT_EQ(FolderContents(dir.path()), std::set<std::string>{"bus.txt"});
}

TEST(SimFiles, FailedSaveSaysWhyAndLeavesNoTemporaryFile) {
    TempDir dir;
    SimBus bus;
    bus.devices = {DefaultSimDevice()};
    std::string error;

    std::string inMissingFolder = dir.File("gone") + "/bus.txt";
    EXPECT_FALSE(SaveBus(inMissingFolder, bus, &error));
    EXPECT_EQ(error.rfind(inMissingFolder, 0), 0u) << error;
    EXPECT_NE(error.find(std::strerror(ENOENT)), std::string::npos) << error;

    // A folder in the way of the rename: the new file is written, then removed.
    std::filesystem::create_directories(dir.File("taken") + "/inside");
    EXPECT_FALSE(SaveBus(dir.File("taken"), bus, &error));
    EXPECT_EQ(error.rfind(dir.File("taken") + ": ", 0), 0u) << error;
    EXPECT_EQ(FolderContents(dir.path()), std::set<std::string>{"taken"});
}

} // namespace
