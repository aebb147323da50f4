// The naming rules, as tables of input and expected output.
#include "unit_description.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(IsBlasterDescription, MatchesOnTheFirstFourteenCharactersOnly) {
    struct Case {
        const char* description;
        bool blaster;
    };
    const Case cases[] = {
        {"ZUV IR Blaster", true},
        {"ZUV IR Blaster-3", true},
        {"ZUV IR Blaster-8", true},
        {"ZUV IR Blaster Pro 2000", true},
        {"ZUV IR Blaster\xff", true},
        {"ZUV IR Blaste", false}, // the first 13 characters
        {"ZUV IR", false},
        {"", false},
        {"zuv ir blaster", false},
        {"ZUV IR BLASTER", false},
        {" ZUV IR Blaster", false},
        {"ZUV IR Blastex", false},
        {"USB Serial Converter", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsBlasterDescription(c.description), c.blaster)
            << "description \"" << c.description << "\"";
    }
}

TEST(IsBlasterDescription, StopsAtTheTerminatorOfAShortDescription) {
    // The buffer ends right after the terminator: reading on would be caught by
    // the address sanitizer.
    char* shortDescription = new char[4];
    std::memcpy(shortDescription, "ZUV", 4);
    EXPECT_FALSE(IsBlasterDescription(shortDescription));
    delete[] shortDescription;
}

TEST(IsUnitKey, AcceptsOnlyTheDigitsOneToEight) {
    for (int code = -1; code <= 255; ++code) {
        bool expected = code >= '1' && code <= '8';
        EXPECT_EQ(IsUnitKey(code), expected) << "code " << code;
    }
    EXPECT_STREQ(UnitKeys, "12345678");
}

TEST(UnitDescription, CutThenSuffixComposesTheUnitsDescription) {
    struct Case {
        const char* stored;
        int key;
        const char* written;
    };
    const Case cases[] = {
        {"ZUV IR Blaster", '1', "ZUV IR Blaster"},
        {"ZUV IR Blaster", '2', "ZUV IR Blaster-2"},
        {"ZUV IR Blaster", '3', "ZUV IR Blaster-3"},
        {"ZUV IR Blaster", '4', "ZUV IR Blaster-4"},
        {"ZUV IR Blaster", '5', "ZUV IR Blaster-5"},
        {"ZUV IR Blaster", '6', "ZUV IR Blaster-6"},
        {"ZUV IR Blaster", '7', "ZUV IR Blaster-7"},
        {"ZUV IR Blaster", '8', "ZUV IR Blaster-8"},
        {"ZUV IR Blaster-3", '5', "ZUV IR Blaster-5"},
        {"ZUV IR Blaster-3", '1', "ZUV IR Blaster"},
        {"ZUV IR Blaster-6", '1', "ZUV IR Blaster"},
        {"ZUV IR Blaster Pro", '2', "ZUV IR Blaster-2"},
        {"ZUV", '4', "ZUV-4"}, // shorter than the product name: kept whole
        {"ZUV", '1', "ZUV"},
        {"", '7', "-7"},
    };
    for (const Case& c : cases) {
        char buffer[DescriptionBufferSize];
        std::memset(buffer, 'x', sizeof buffer);
        std::strcpy(buffer, c.stored);
        CutToProductLength(buffer);
        AppendUnitSuffix(buffer, c.key);
        EXPECT_STREQ(buffer, c.written) << "stored \"" << c.stored << "\", key " << char(c.key);
    }
}

TEST(UnitDescription, CutLeavesAShortDescriptionAndCutsALongOne) {
    const struct {
        const char* stored;
        const char* cut;
    } cases[] = {
        {"ZUV IR Blaster-6", "ZUV IR Blaster"},
        {"ZUV IR Blaster", "ZUV IR Blaster"},
        {"ZUV IR Blaste", "ZUV IR Blaste"},
        {"An entirely other device", "An entirely ot"},
    };
    for (const auto& c : cases) {
        char buffer[DescriptionBufferSize] = {};
        std::strcpy(buffer, c.stored);
        CutToProductLength(buffer);
        EXPECT_STREQ(buffer, c.cut) << "stored \"" << c.stored << "\"";
    }
}

TEST(UnitDescription, SuffixNeverRunsPastTheBuffer) {
    char buffer[DescriptionBufferSize];
    std::memset(buffer, 'a', sizeof buffer);
    buffer[DescriptionBufferSize - 2] = '\0'; // 254 characters: no room for "-5"
    AppendUnitSuffix(buffer, '5');
    EXPECT_EQ(std::strlen(buffer), DescriptionBufferSize - 2);
    buffer[DescriptionBufferSize - 3] = '\0'; // 253 characters: room for exactly two more
    AppendUnitSuffix(buffer, '5');
    EXPECT_EQ(std::string(buffer + DescriptionBufferSize - 3), "-5");
}

} // namespace
