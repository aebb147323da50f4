// The unchanged rename tool linked to the libftdi driver, run in a
// pseudo-terminal against a chip emulated under umockdev: what the person
// sees, the chip's EEPROM before and after byte by byte, and what the chip was asked.
#include "emulated_chip.h"
#include "tool_session.h"

#include "byte_changes.h"

#include <gtest/gtest.h>

#include <ftdi.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sys/wait.h>

namespace {

const std::string Banner = "ZUV Rename Utility\nOpening Device...\n";
const std::string UnitPrompt = "Enter the desired unit number (1-8): ";
const std::string ClosingPrompt = "Press any key to continue...";
const std::string Renamed = "ZUV Blaster rename successful!\n";
const std::string RenameFailed = "ZUV Blaster rename failed!\n";
const std::string ReadFailed = "Error: failed to read device EEPROM\n";
const std::string Replug =
    "\nIMPORTANT: Please unplug and re-plug the ZUV dongle for rename to take effect!\n";

std::string Described(const std::string& description) {
    return Banner + "ZUV Description is: " + description + "\n" + UnitPrompt;
}

// The string descriptors with their pointer and length bytes, and the checksum.
std::function<bool(std::size_t)> StringBytes(ChipKind kind, const ChipBytes& before,
                                             const ChipBytes& after) {
    const std::size_t from = StringAreaStart(kind);
    const std::size_t to = std::max(StringsEnd(kind, before), StringsEnd(kind, after));
    const std::size_t checksum = ChecksumOffset(kind);
    return [=](std::size_t at) {
        return (at >= 0x0E && at < 0x14) || (at >= from && at < to) || at == checksum ||
               at == checksum + 1;
    };
}

// Words that differ, counted as the chip is written: the R chip's in aligned pairs.
int WordsToWrite(ChipKind kind, const ChipBytes& before, const ChipBytes& after) {
    const std::size_t unit = kind == Ft232r ? 4 : 2;
    int words = 0;
    for (std::size_t at = 0; at < before.size(); at += unit) {
        if (!std::equal(before.begin() + static_cast<long>(at),
                        before.begin() + static_cast<long>(at + unit),
                        after.begin() + static_cast<long>(at))) {
            words += static_cast<int>(unit / 2);
        }
    }
    return words;
}

ChipBytes Blaster(ChipKind kind) {
    return ProgrammedImage(kind, "ZUV", "ZUV IR Blaster", "ZB000001");
}

// A blaster whose EEPROM also holds user data after blank bytes past the
// strings, and bits no documented field claims.
ChipBytes BlasterWithUserData() {
    ChipBytes image = Blaster(Ft232r);
    image[0x00] |= 0x41;
    image[0x0A] |= 0xC0;
    image[0x16] |= 0xA0;
    image[0x17] = 0x5A;
    const std::string user = "ZUV user data!";
    std::copy(user.begin(), user.end(), image.begin() + 0x68);
    SealImage(Ft232r, &image);
    return image;
}

class RenameTool : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string why;
        testbed_ = StartTestbed(&why);
        ASSERT_NE(testbed_, nullptr) << why;
    }

    void TearDown() override {
        EndSession(&session_);
        StopTestbed(testbed_);
        testbed_ = nullptr;
    }

    // A fresh testbed for the next case of a table.
    void NextCase() {
        TearDown();
        session_ = ToolSession();
        SetUp();
    }

    EmulatedChip* Plug(ChipKind kind, const ChipBytes& image) {
        EmulatedChip* chip = PlugChip(testbed_, kind, image);
        EXPECT_NE(chip, nullptr);
        return chip;
    }

    // Runs the tool to its end: unitKey answers the unit prompt when the tool
    // shows it. Returns what the tool showed, with "\n" for the terminal's "\r\n".
    std::string Run(const std::string& unitKey) {
        session_ = ToolSession();
        ToolOptions options;
        std::string why;
        EXPECT_TRUE(StartTool(options, &session_, &why)) << why;
        for (int waited = 0; waited < 10000; waited += 20) {
            if (WaitForShown(&session_, UnitPrompt, 20)) {
                SendKeys(&session_, unitKey);
                break;
            }
            if (WaitForShown(&session_, ClosingPrompt, 0)) {
                break;
            }
        }
        EXPECT_TRUE(WaitForShown(&session_, ClosingPrompt, 10000)) << Printable(session_.shown);
        SendKeys(&session_, "x");
        int status = 0;
        EXPECT_TRUE(WaitForExit(&session_, &status, 10000)) << Printable(session_.shown);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
        // A person sees standard error in the same terminal.
        EXPECT_EQ(ReadFile(session_.stderrPath), "");
        std::string shown;
        for (char c : session_.shown) {
            if (c != '\r') {
                shown += c;
            }
        }
        EndSession(&session_);
        return shown;
    }

    UsbTestbed* testbed_ = nullptr;
    ToolSession session_;
};

TEST_F(RenameTool, RenamesInPlaceAndTheChipReturnsUnderTheNewName) {
    struct Case {
        const char* name;
        ChipKind kind;
        ChipBytes image;
    };
    const Case cases[] = {
        {"FT232R as programmed", Ft232r, Blaster(Ft232r)},
        {"FT232R with user data and undocumented bits", Ft232r, BlasterWithUserData()},
        {"FT230X as programmed", Ft230x, Blaster(Ft230x)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NextCase();
        EmulatedChip* chip = Plug(c.kind, c.image);
        ASSERT_NE(chip, nullptr);

        EXPECT_EQ(Run("2"), Described("ZUV IR Blaster") + "2\n" + Renamed + ClosingPrompt);

        const ChipBytes after = ChipEeprom(chip);
        EXPECT_EQ(ChangesOutside(c.image, after, StringBytes(c.kind, c.image, after)), "")
            << "bytes changed outside the string descriptors and the checksum";
        EXPECT_EQ(CountsOf(chip).eepromWrites, WordsToWrite(c.kind, c.image, after));
        EXPECT_EQ(CountsOf(chip).eepromErases, 0);
        EXPECT_EQ(EnumeratedProduct(chip), "ZUV IR Blaster-2");
        EXPECT_EQ(CountsOf(chip).portResets, 1);
        EXPECT_TRUE(KernelDriverBound(chip));

        EXPECT_EQ(Run("x"),
                  Described("ZUV IR Blaster-2") + "x\nRename cancelled...\n" + ClosingPrompt);
    }
}

TEST_F(RenameTool, AFailedReadOrProgramLeavesTheEepromAsItWas) {
    struct Case {
        const char* name;
        ChipBytes plugged; // what the chip enumerates with
        ChipKind kind;
        std::function<void(EmulatedChip*)> then; // before the tool runs
        std::string shown;
        bool writes; // whether the driver gets as far as writing
    };
    ChipBytes full = ProgrammedImage(Ft232r, "ZUV", "ZUV IR Blaster", std::string(31, 'S'));
    ChipBytes userDataAdjoining = Blaster(Ft232r);
    userDataAdjoining[StringsEnd(Ft232r, userDataAdjoining)] = 0x42;
    SealImage(Ft232r, &userDataAdjoining);
    ChipBytes badChecksum = Blaster(Ft232r);
    badChecksum[0x60] ^= 0x10;
    const Case cases[] = {
        {"string area full to the checksum", full, Ft232r, [](EmulatedChip*) {},
         Described("ZUV IR Blaster") + "2\n" + RenameFailed + ClosingPrompt, false},
        {"user data right after the strings", userDataAdjoining, Ft232r, [](EmulatedChip*) {},
         Described("ZUV IR Blaster") + "2\n" + RenameFailed + ClosingPrompt, false},
        {"bad checksum", Blaster(Ft232r), Ft232r,
         [&](EmulatedChip* chip) { SetChipEeprom(chip, badChecksum); },
         Banner + ReadFailed + ClosingPrompt, false},
        {"blank EEPROM", Blaster(Ft232r), Ft232r,
         [](EmulatedChip* chip) { SetChipEeprom(chip, ChipBytes(128, 0xFF)); },
         Banner + ReadFailed + ClosingPrompt, false},
        {"writes do not stick", Blaster(Ft232r), Ft232r, IgnoreWrites,
         Described("ZUV IR Blaster") + "2\n" + RenameFailed + ClosingPrompt, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NextCase();
        EmulatedChip* chip = Plug(c.kind, c.plugged);
        ASSERT_NE(chip, nullptr);
        c.then(chip);
        const ChipBytes before = ChipEeprom(chip);

        EXPECT_EQ(Run("2"), c.shown);
        EXPECT_EQ(ChangesOutside(before, ChipEeprom(chip), [](std::size_t) { return false; }), "");
        EXPECT_EQ(CountsOf(chip).eepromWrites > 0, c.writes);
        EXPECT_EQ(CountsOf(chip).portResets, 0);
        EXPECT_TRUE(KernelDriverBound(chip));
    }
}

TEST_F(RenameTool, UnitOneOnABlasterSoNamedWritesNothing) {
    EmulatedChip* chip = Plug(Ft232r, Blaster(Ft232r));
    ASSERT_NE(chip, nullptr);
    EXPECT_EQ(Run("1"), Described("ZUV IR Blaster") + "1\n" + Renamed + ClosingPrompt);
    EXPECT_EQ(CountsOf(chip).eepromWrites, 0);
    EXPECT_EQ(CountsOf(chip).eepromErases, 0);
    EXPECT_EQ(ChangesOutside(Blaster(Ft232r), ChipEeprom(chip), [](std::size_t) { return false; }),
              "");
}

TEST_F(RenameTool, AFailedPortResetAsksForAReplug) {
    EmulatedChip* chip = Plug(Ft232r, Blaster(Ft232r));
    ASSERT_NE(chip, nullptr);
    FailPortResets(chip);
    EXPECT_EQ(Run("3"), Described("ZUV IR Blaster") + "3\n" + Renamed + Replug + ClosingPrompt);
    EXPECT_EQ(EnumeratedProduct(chip), "ZUV IR Blaster") << "enumerated anew without a reset";
    ChipBytes renamed = ProgrammedImage(Ft232r, "ZUV", "ZUV IR Blaster-3", "ZB000001");
    EXPECT_EQ(ChangesOutside(renamed, ChipEeprom(chip), [](std::size_t) { return false; }), "");
}

// libftdi's own way to change a string: decode, set the strings, rebuild the
// image from the decoded values and write every word.
ChipCounts RenameThroughLibftdi(EmulatedChip* chip, const char* product) {
    ClearCounts(chip);
    ftdi_context* context = ftdi_new();
    EXPECT_EQ(ftdi_usb_open_desc(context, 0x0403, 0x6001, "ZUV IR Blaster", nullptr), 0);
    EXPECT_EQ(ftdi_read_eeprom(context), 0);
    EXPECT_EQ(ftdi_eeprom_decode(context, 0), 0);
    EXPECT_EQ(ftdi_eeprom_set_strings(context, "ZUV", product, "ZB000001"), 0);
    EXPECT_GE(ftdi_eeprom_build(context), 0);
    EXPECT_EQ(ftdi_write_eeprom(context), 0);
    ftdi_usb_close(context);
    ftdi_free(context);
    return CountsOf(chip);
}

TEST_F(RenameTool, WritesOnlyTheWordsThatChangeWhereLibftdiWritesThemAll) {
    const ChipBytes image = BlasterWithUserData();
    EmulatedChip* chip = Plug(Ft232r, image);
    ASSERT_NE(chip, nullptr);
    ASSERT_EQ(Run("2"), Described("ZUV IR Blaster") + "2\n" + Renamed + ClosingPrompt);
    const ChipCounts tool = CountsOf(chip);
    const ChipBytes toolImage = ChipEeprom(chip);

    NextCase();
    chip = Plug(Ft232r, image);
    ASSERT_NE(chip, nullptr);
    const ChipCounts libftdi = RenameThroughLibftdi(chip, "ZUV IR Blaster-2");
    const ChipBytes libftdiImage = ChipEeprom(chip);

    int changedWords = 0;
    for (std::size_t at = 0; at < image.size(); at += 2) {
        changedWords += image[at] != toolImage[at] || image[at + 1] != toolImage[at + 1];
    }
    const std::string lost =
        ChangesOutside(image, libftdiImage, StringBytes(Ft232r, image, libftdiImage));
    std::printf("one rename, control transfers in/out (EEPROM word reads/writes):\n"
                "  the tool:            %d/%d (%d/%d), %d words really changed\n"
                "  ftdi_write_eeprom:   %d/%d (%d/%d)\n"
                "  bytes libftdi's rebuild changed outside the strings:%s\n",
                tool.controlIn, tool.controlOut, tool.eepromReads, tool.eepromWrites, changedWords,
                libftdi.controlIn, libftdi.controlOut, libftdi.eepromReads, libftdi.eepromWrites,
                lost.c_str());
    EXPECT_EQ(libftdi.eepromWrites, 64);
    EXPECT_LE(tool.eepromWrites, changedWords + changedWords / 2 + 2);
    EXPECT_LT(tool.eepromWrites, libftdi.eepromWrites / 2);
}

} // namespace
