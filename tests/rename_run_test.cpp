// The whole tool as a person meets it: run in a terminal against a simulated
// bus, with exact transcripts, the bus file after the run and the driver's call
// log.
#include "bus.h"
#include "tool_session.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// The tool's messages, as the person reads them.
const std::string Banner = "ZUV Rename Utility\nOpening Device...\n";
const std::string UnitPrompt = "Enter the desired unit number (1-8): ";
const std::string ClosingPrompt = "Press any key to continue...";
const std::string Cancelled = "Rename cancelled...\n";
const std::string Renamed = "ZUV Blaster rename successful!\n";

std::string DescriptionLine(const std::string& description) {
    return "ZUV Description is: " + description + "\n";
}

// A blaster whose every field holds a value of its own, none of them a
// default, so a value the tool loses or changes shows.
SimDevice Blaster(const std::string& description) {
    SimDevice device = DefaultSimDevice();
    for (std::size_t i = 0; i < kSimFieldCount; ++i) {
        unsigned value =
            static_cast<unsigned>(i * 37 + 11) % (kSimFields[i].bits == 8 ? 251 : 65521);
        if (value == GetSimField(device.data, kSimFields[i])) {
            ++value;
        }
        SetSimField(&device.data, kSimFields[i], value);
    }
    device.description = description;
    device.serialNumber = "ZB000123";
    device.manufacturer = "ZUV Labs \\ Fernbedienung\xE4";
    device.manufacturerId = "ZL";
    return device;
}

SimDevice OtherDevice(const std::string& description) {
    SimDevice device = DefaultSimDevice();
    device.description = description;
    device.serialNumber = "FT4711";
    device.manufacturer = "Someone Else";
    return device;
}

// Names every field in which two devices differ, as "name: before -> after".
std::string Differences(const SimDevice& before, const SimDevice& after) {
    std::ostringstream out;
    auto compareString = [&](const char* name, const std::string& a, const std::string& b) {
        if (a != b) {
            out << " " << name << ": \"" << Printable(a) << "\" -> \"" << Printable(b) << "\"";
        }
    };
    compareString("Manufacturer", before.manufacturer, after.manufacturer);
    compareString("ManufacturerId", before.manufacturerId, after.manufacturerId);
    compareString("Description", before.description, after.description);
    compareString("SerialNumber", before.serialNumber, after.serialNumber);
    for (std::size_t i = 0; i < kSimFieldCount; ++i) {
        unsigned a = GetSimField(before.data, kSimFields[i]);
        unsigned b = GetSimField(after.data, kSimFields[i]);
        if (a != b) {
            out << " " << kSimFields[i].name << ": " << a << " -> " << b;
        }
    }
    return out.str();
}

// "FT_Name status" for each logged call, and the closing "exit N".
std::vector<std::string> LoggedCalls(const std::string& log) {
    std::vector<std::string> calls;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        std::size_t arrow = line.rfind(" -> ");
        if (arrow == std::string::npos) {
            calls.push_back(line);
        } else {
            calls.push_back(line.substr(0, line.find(' ')) + " " + line.substr(arrow + 4));
        }
    }
    return calls;
}

std::string Join(const std::vector<std::string>& items) {
    std::string joined;
    for (const std::string& item : items) {
        joined += item + "\n";
    }
    return joined;
}

class RenameRun : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/zuv-run-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        busPath_ = folder_ + "/bus.txt";
        logPath_ = folder_ + "/calls.log";
    }

    void TearDown() override {
        EndSession(&session_);
        std::string command = "rm -rf '" + folder_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    // A fresh folder and session for the next case of a table.
    void NextCase() {
        TearDown();
        session_ = ToolSession();
        attached_ = false;
        SetUp();
    }

    void Attach(const SimBus& bus) {
        std::string error;
        ASSERT_TRUE(SaveBus(busPath_, bus, &error)) << error;
        attached_ = true;
    }

    SimBus LoadAttached() {
        SimBus bus;
        std::string error;
        EXPECT_TRUE(LoadBus(busPath_, &bus, &error)) << error;
        return bus;
    }

    ToolOptions Options() const {
        ToolOptions options;
        options.busPath = attached_ ? busPath_ : "";
        options.logPath = logPath_;
        return options;
    }

    void Start(const ToolOptions& options) {
        std::string why;
        ASSERT_TRUE(StartTool(options, &session_, &why)) << why;
    }

    // Answers the unit prompt (when keys are given), then checks that the tool
    // waits at the closing prompt, ends it with closingKey and sees the tool
    // end with status 0 and the terminal as it was.
    void Converse(const std::string& unitKeys, const std::string& closingKey = "x") {
        if (!unitKeys.empty()) {
            ASSERT_TRUE(WaitForShown(&session_, UnitPrompt)) << Printable(session_.shown);
            SendKeys(&session_, unitKeys);
        }
        ASSERT_TRUE(WaitForShown(&session_, ClosingPrompt)) << Printable(session_.shown);
        ASSERT_TRUE(StillRunningAfter(&session_, 300))
            << "the tool did not wait for the closing key: " << Printable(session_.shown);
        SendKeys(&session_, closingKey);
        int status = 0;
        ASSERT_TRUE(WaitForExit(&session_, &status)) << Printable(session_.shown);
        ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        std::string diff;
        EXPECT_TRUE(TerminalModeRestored(session_, &diff)) << diff;
    }

    std::string folder_;
    std::string busPath_;
    std::string logPath_;
    bool attached_ = false;
    ToolSession session_;
};

// One run from start to end: what is attached, what the driver fails, the
// key pressed, and what the person sees, the driver is asked and the bus
// holds afterwards.
struct Scenario {
    const char* name;
    bool attach;
    std::vector<SimDevice> devices;
    std::vector<SimFault> faults;
    std::string unitKey; // pressed at the unit prompt; empty when the run never asks
    std::string transcript;
    std::vector<std::string> calls;
    std::string written; // the blaster's description afterwards; empty: unchanged
};

TEST_F(RenameRun, EachDriverOutcomeIsToldAndEndsAtTheClosingPrompt) {
    const std::string none = "Error: No ZUV IR Blaster devices were found!\n";
    const std::vector<std::string> listed = {"FT_CreateDeviceInfoList 0", "FT_GetDeviceInfoList 0"};
    auto with = [&](std::vector<std::string> more) {
        std::vector<std::string> calls = listed;
        calls.insert(calls.end(), more.begin(), more.end());
        return calls;
    };
    const std::vector<Scenario> scenarios = {
        {"nothing attached",
         false,
         {},
         {},
         "",
         Banner + none + ClosingPrompt,
         {"FT_CreateDeviceInfoList 0", "exit 0"},
         ""},
        {"only other devices",
         true,
         {OtherDevice("USB Serial Converter"), OtherDevice("ZUV IR Blaste")},
         {},
         "",
         Banner + none + ClosingPrompt,
         with({"exit 0"}),
         ""},
        {"list cannot be made",
         true,
         {Blaster("ZUV IR Blaster")},
         {{"FT_CreateDeviceInfoList", FT_IO_ERROR}},
         "",
         Banner + "Error: failed to initialize\n" + ClosingPrompt,
         {"FT_CreateDeviceInfoList 4", "exit 0"},
         ""},
        {"records cannot be read",
         true,
         {Blaster("ZUV IR Blaster")},
         {{"FT_GetDeviceInfoList", FT_IO_ERROR}},
         "",
         Banner + "Error: failed to get device information\n" + ClosingPrompt,
         {"FT_CreateDeviceInfoList 0", "FT_GetDeviceInfoList 4", "exit 0"},
         ""},
        {"two blasters",
         true,
         {Blaster("ZUV IR Blaster-2"), OtherDevice("Dual RS232"), Blaster("ZUV IR Blaster-5")},
         {},
         "",
         Banner +
             "Error: Multiple ZUV dongles were detected.\nPlease remove all ZUV units except the "
             "one to be renamed\n" +
             ClosingPrompt,
         with({"exit 0"}),
         ""},
        {"open fails",
         true,
         {Blaster("ZUV IR Blaster")},
         {{"FT_OpenEx", FT_DEVICE_NOT_OPENED}},
         "",
         Banner + "Device Open Failed -- Device Not Found!\n" + ClosingPrompt,
         with({"FT_OpenEx 3", "exit 0"}),
         ""},
        {"EEPROM read fails",
         true,
         {Blaster("ZUV IR Blaster")},
         {{"FT_EE_ReadEx", FT_EEPROM_READ_FAILED}},
         "",
         Banner + "Error: failed to read device EEPROM\n" + ClosingPrompt,
         with({"FT_OpenEx 0", "FT_EE_ReadEx 11", "FT_Close 0", "exit 0"}),
         ""},
        {"EEPROM write fails",
         true,
         {Blaster("ZUV IR Blaster")},
         {{"FT_EE_ProgramEx", FT_EEPROM_WRITE_FAILED}},
         "4",
         Banner + DescriptionLine("ZUV IR Blaster") + UnitPrompt +
             "4\nZUV Blaster rename failed!\n" + ClosingPrompt,
         with({"FT_OpenEx 0", "FT_EE_ReadEx 0", "FT_EE_ProgramEx 12", "FT_Close 0", "exit 0"}),
         ""},
        {"port cycle fails",
         true,
         {Blaster("ZUV IR Blaster")},
         {{"FT_CyclePort", FT_IO_ERROR}},
         "7",
         Banner + DescriptionLine("ZUV IR Blaster") + UnitPrompt + "7\n" + Renamed +
             "\nIMPORTANT: Please unplug and re-plug the ZUV dongle for rename to take effect!\n" +
             ClosingPrompt,
         with({"FT_OpenEx 0", "FT_EE_ReadEx 0", "FT_EE_ProgramEx 0", "FT_CyclePort 4", "FT_Close 0",
               "exit 0"}),
         "ZUV IR Blaster-7"},
        {"typical rename",
         true,
         {Blaster("ZUV IR Blaster"), OtherDevice("USB Serial Converter")},
         {},
         "2",
         Banner + DescriptionLine("ZUV IR Blaster") + UnitPrompt + "2\n" + Renamed + ClosingPrompt,
         with({"FT_OpenEx 0", "FT_EE_ReadEx 0", "FT_EE_ProgramEx 0", "FT_CyclePort 0", "FT_Close 0",
               "exit 0"}),
         "ZUV IR Blaster-2"},
        {"unit 1 drops the old suffix",
         true,
         {OtherDevice("Dual RS232"), Blaster("ZUV IR Blaster-6")},
         {},
         "1",
         Banner + DescriptionLine("ZUV IR Blaster-6") + UnitPrompt + "1\n" + Renamed +
             ClosingPrompt,
         with({"FT_OpenEx 0", "FT_EE_ReadEx 0", "FT_EE_ProgramEx 0", "FT_CyclePort 0", "FT_Close 0",
               "exit 0"}),
         "ZUV IR Blaster"},
        {"a longer description is cut",
         true,
         {Blaster("ZUV IR Blaster Living Room")},
         {},
         "8",
         Banner + DescriptionLine("ZUV IR Blaster Living Room") + UnitPrompt + "8\n" + Renamed +
             ClosingPrompt,
         with({"FT_OpenEx 0", "FT_EE_ReadEx 0", "FT_EE_ProgramEx 0", "FT_CyclePort 0", "FT_Close 0",
               "exit 0"}),
         "ZUV IR Blaster-8"},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(scenario.name);
        SimBus bus;
        bus.devices = scenario.devices;
        bus.faults = scenario.faults;
        if (scenario.attach) {
            Attach(bus);
        }
        Start(Options());
        Converse(scenario.unitKey);
        EXPECT_EQ(Printable(session_.shown), Printable(Crlf(scenario.transcript)));
        EXPECT_EQ(Join(LoggedCalls(ReadFile(logPath_))), Join(scenario.calls));
        EXPECT_EQ(ReadFile(session_.stderrPath), "");
        if (scenario.attach) {
            SimBus after = LoadAttached();
            ASSERT_EQ(after.devices.size(), bus.devices.size());
            for (std::size_t i = 0; i < bus.devices.size(); ++i) {
                SimDevice expected = bus.devices[i];
                if (!scenario.written.empty() &&
                    expected.description.compare(0, 14, "ZUV IR Blaster") == 0) {
                    expected.description = scenario.written;
                }
                EXPECT_EQ(Differences(expected, after.devices[i]), "") << "device " << i;
            }
            EXPECT_EQ(after.faults.size(), bus.faults.size());
        }
        NextCase();
    }
}

// A key other than 1 to 8 at the unit prompt cancels the rename. A key that
// sends several bytes is one key press: its first byte is echoed and the rest
// of it does not end the closing prompt.
TEST_F(RenameRun, AnyOtherKeyCancelsAndTheClosingPromptStillWaits) {
    struct Case {
        const char* name;
        std::string keys;
        std::string echo;
    };
    const Case cases[] = {
        {"9", "9", "9"},
        {"0", "0", "0"},
        {"letter", "a", "a"},
        {"Enter", "\r", "\r"},
        {"Escape", "\x1b", "\x1b"},
        {"Ctrl-C", "\x03", "\x03"},
        {"Up", "\x1b[A", "\x1b"},
        {"F1", "\x1bOP", "\x1b"},
        {"F5", "\x1b[15~", "\x1b"},
        {"Shift-F5", "\x1b[15;2~", "\x1b"},
        {"Linux console F1", "\x1b[[A", "\x1b"},
        {"two-byte character", "\xc3\xa9", "\xc3"},
        {"three-byte character", "\xe2\x82\xac", "\xe2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimBus bus;
        bus.devices = {Blaster("ZUV IR Blaster-3")};
        Attach(bus);
        std::string before = ReadFile(busPath_);
        Start(Options());
        Converse(c.keys);
        EXPECT_EQ(Printable(session_.shown),
                  Printable(Crlf(Banner + DescriptionLine("ZUV IR Blaster-3") + UnitPrompt) +
                            c.echo + Crlf("\n" + Cancelled + ClosingPrompt)));
        EXPECT_EQ(ReadFile(busPath_), before) << "the EEPROM was touched";
        EXPECT_EQ(Join(LoggedCalls(ReadFile(logPath_))),
                  Join({"FT_CreateDeviceInfoList 0", "FT_GetDeviceInfoList 0", "FT_OpenEx 0",
                        "FT_EE_ReadEx 0", "FT_Close 0", "exit 0"}));
        NextCase();
    }
}

TEST_F(RenameRun, CtrlCAtTheClosingPromptEndsTheRunNormally) {
    SimBus bus;
    bus.devices = {Blaster("ZUV IR Blaster")};
    Attach(bus);
    Start(Options());
    Converse("3", "\x03"); // exit status 0, not a signal
    EXPECT_EQ(LoadAttached().devices[0].description, "ZUV IR Blaster-3");
}

TEST_F(RenameRun, WithoutATerminalNeitherReadWaitsAndNothingIsRenamed) {
    SimBus bus;
    bus.devices = {Blaster("ZUV IR Blaster")};
    Attach(bus);
    std::string before = ReadFile(busPath_);
    ToolOptions options = Options();
    options.terminal = false;
    Start(options);
    int status = 0;
    ASSERT_TRUE(WaitForExit(&session_, &status, 3000))
        << "the tool waited: " << Printable(session_.shown);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Printable(session_.shown), Printable(Banner + DescriptionLine("ZUV IR Blaster") +
                                                   UnitPrompt + "\n" + Cancelled + ClosingPrompt));
    EXPECT_EQ(ReadFile(busPath_), before);
    EXPECT_EQ(LoggedCalls(ReadFile(logPath_)).back(), "exit 0");
}

TEST_F(RenameRun, KeysComeFromTheTerminalWhenStandardInputIsRedirected) {
    SimBus bus;
    bus.devices = {Blaster("ZUV IR Blaster")};
    Attach(bus);
    ToolOptions options = Options();
    options.stdinFromPipe = true;
    options.stdinText = "5\n";
    Start(options);
    Converse("3");
    EXPECT_EQ(Printable(session_.shown),
              Printable(Crlf(Banner + DescriptionLine("ZUV IR Blaster") + UnitPrompt + "3\n" +
                             Renamed + ClosingPrompt)));
    EXPECT_EQ(LoadAttached().devices[0].description, "ZUV IR Blaster-3");
}

TEST_F(RenameRun, StandardOutputToAFileGetsEveryMessageAndTheTerminalOnlyTheEcho) {
    SimBus bus;
    bus.devices = {Blaster("ZUV IR Blaster-4")};
    Attach(bus);
    ToolOptions options = Options();
    options.stdoutPath = folder_ + "/out.txt";
    Start(options);
    ASSERT_TRUE(WaitForRawMode(&session_));
    SendKeys(&session_, "6");
    // The closing read: the terminal is raw again once the unit key was taken.
    ASSERT_TRUE(WaitForShown(&session_, "6"));
    ASSERT_TRUE(StillRunningAfter(&session_, 300));
    ASSERT_TRUE(WaitForRawMode(&session_));
    SendKeys(&session_, " ");
    int status = 0;
    ASSERT_TRUE(WaitForExit(&session_, &status));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Printable(session_.shown), "6");
    EXPECT_EQ(Printable(ReadFile(options.stdoutPath)),
              Printable(Banner + DescriptionLine("ZUV IR Blaster-4") + UnitPrompt + "\n" + Renamed +
                        ClosingPrompt));
    EXPECT_EQ(LoadAttached().devices[0].description, "ZUV IR Blaster-6");
}

TEST_F(RenameRun, ATerminatingSignalDuringAKeyReadLeavesTheTerminalAsItWas) {
    const int signals[] = {SIGTERM, SIGHUP};
    for (int number : signals) {
        SCOPED_TRACE(strsignal(number));
        SimBus bus;
        bus.devices = {Blaster("ZUV IR Blaster")};
        Attach(bus);
        std::string before = ReadFile(busPath_);
        Start(Options());
        ASSERT_TRUE(WaitForShown(&session_, UnitPrompt));
        kill(session_.pid, number);
        int status = 0;
        ASSERT_TRUE(WaitForExit(&session_, &status));
        ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
        EXPECT_EQ(WTERMSIG(status), number);
        std::string diff;
        EXPECT_TRUE(TerminalModeRestored(session_, &diff)) << diff;
        EXPECT_EQ(ReadFile(busPath_), before);
        NextCase();
    }
}

TEST_F(RenameRun, AMalformedBusFileIsReportedByTheDriverAndTheToolEndsCleanly) {
    WriteFile(busPath_, "[device]\nDescription = ZUV IR Blaster\nCbus0 = 300\n");
    attached_ = true;
    Start(Options());
    Converse("");
    EXPECT_EQ(Printable(session_.shown),
              Printable(Crlf(Banner + "Error: failed to initialize\n" + ClosingPrompt)));
    EXPECT_NE(ReadFile(session_.stderrPath).find(busPath_ + ":3: "), std::string::npos)
        << ReadFile(session_.stderrPath);
}

} // namespace
