// The driver's image logic on hand-made images: which images it reads, how it
// rewrites the strings in place and which words it then writes. That the
// checksum and the string layout match the chips is checked against images
// libftdi builds, in driver_calls_test.cpp.
#include "eeprom_image.h"

#include "byte_changes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <set>

namespace {

void Seal(EepromImage* image, const EepromLayout& layout) {
    std::uint16_t checksum = ComputeChecksum(*image, layout);
    (*image)[layout.checksumOffset] = static_cast<std::uint8_t>(checksum & 0xFF);
    (*image)[layout.checksumOffset + 1] = static_cast<std::uint8_t>(checksum >> 8);
}

EepromImage Descriptor(const std::string& text) {
    EepromImage bytes = {static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03};
    for (char c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

// Places a descriptor at offset and points string `which` at it.
void Place(EepromImage* image, const EepromLayout& layout, int which, std::size_t offset,
           const EepromImage& descriptor) {
    (*image)[0x0E + 2 * which] = static_cast<std::uint8_t>(layout.pointerFlag | offset);
    (*image)[0x0F + 2 * which] = static_cast<std::uint8_t>(descriptor.size());
    std::copy(descriptor.begin(), descriptor.end(), image->begin() + static_cast<long>(offset));
}

// A sealed image: some settings, the three strings packed from the area's start.
EepromImage Image(EepromChip chip, const std::string& manufacturer, const std::string& product,
                  const std::string& serial) {
    const EepromLayout layout = LayoutForChip(chip);
    EepromImage image(layout.imageBytes, 0x00);
    const std::uint8_t settings[] = {0x00, 0x40, 0x03, 0x04, 0x01, 0x60, 0x00, 0x06, 0xA0, 0x2D};
    std::copy(std::begin(settings), std::end(settings), image.begin());
    std::size_t at = layout.stringAreaStart;
    const std::string texts[] = {manufacturer, product, serial};
    for (int which = 0; which < ImageStringCount; ++which) {
        Place(&image, layout, which, at, Descriptor(texts[which]));
        at += Descriptor(texts[which]).size();
    }
    Seal(&image, layout);
    return image;
}

std::string Hex(const EepromImage& image, std::size_t from, std::size_t to) {
    std::string text;
    char byte[4];
    for (std::size_t at = from; at < to && at < image.size(); ++at) {
        std::snprintf(byte, sizeof byte, "%02x ", image[at]);
        text += byte;
    }
    return text;
}

TEST(ParseImage, RefusesImagesItCannotRewriteInPlace) {
    const EepromLayout r = LayoutForChip(ChipR);
    struct Case {
        const char* name;
        std::function<void(EepromImage*)> spoil;
        bool reseal;
        ImageStatus expected;
    };
    const Case cases[] = {
        {"as made", [](EepromImage*) {}, true, ImageOk},
        {"one word short", [](EepromImage* image) { image->resize(image->size() - 2); }, false,
         ImageWrongSize},
        {"a data byte flipped", [](EepromImage* image) { (*image)[0x09] ^= 0x01; }, false,
         ImageBadChecksum},
        {"blank", [](EepromImage* image) { image->assign(image->size(), 0xFF); }, false,
         ImageBadChecksum},
        {"pointer below the string area", [](EepromImage* image) { (*image)[0x10] = 0x80 | 0x10; },
         true, ImageBadDescriptor},
        {"descriptor runs into the checksum",
         [&](EepromImage* image) { Place(image, r, SerialString, 0x70, Descriptor("ABCDEFG")); },
         true, ImageBadDescriptor},
        {"odd length", [](EepromImage* image) { (*image)[0x11] = 7; }, true, ImageBadDescriptor},
        {"length byte and bLength disagree", [](EepromImage* image) { (*image)[0x11] += 2; }, true,
         ImageBadDescriptor},
        {"not a string descriptor", [](EepromImage* image) { (*image)[0x18 + 1] = 0x02; }, true,
         ImageBadDescriptor},
    };
    for (const Case& c : cases) {
        EepromImage image = Image(ChipR, "ZUV", "ZUV IR Blaster", "ZB000001");
        c.spoil(&image);
        if (c.reseal) {
            Seal(&image, r);
        }
        ImageStrings strings;
        EXPECT_EQ(ParseImage(image, r, &strings), c.expected) << c.name;
    }
}

TEST(ParseImage, ReadsEachStringWhereItsPointerSays) {
    const EepromLayout r = LayoutForChip(ChipR);
    EepromImage image(r.imageBytes, 0x00);
    EepromImage wide = {6, 0x03, 'Z', 0x00, 0x01, 0x01}; // "Z" and U+0101
    Place(&image, r, SerialString, 0x18, Descriptor("ZB1"));
    Place(&image, r, ManufacturerString, 0x30, wide);
    Place(&image, r, ProductString, 0x40, Descriptor("ZUV IR Blaster"));
    Seal(&image, r);
    ImageStrings strings;
    ASSERT_EQ(ParseImage(image, r, &strings), ImageOk);
    EXPECT_EQ(strings.text[ManufacturerString], "Z?");
    EXPECT_EQ(strings.text[ProductString], "ZUV IR Blaster");
    EXPECT_EQ(strings.text[SerialString], "ZB1");
    EXPECT_EQ(strings.slots[ProductString].offset, 0x40u);
}

struct RewriteCase {
    const char* name;
    EepromChip chip;
    std::function<EepromImage()> image;
    std::string manufacturer, product, serial; // the new strings
    ImageStatus expected;
};

TEST(RewriteStringDescriptors, ChangesOnlyTheStringsAndTheChecksum) {
    const EepromLayout r = LayoutForChip(ChipR);
    auto withUserData = [&] {
        EepromImage image = Image(ChipR, "ZUV", "ZUV IR Blaster", "ZB000001");
        const std::string user = "user data here";
        std::copy(user.begin(), user.end(), image.begin() + 0x6A);
        image[0x17] = 0xA5; // a byte no field claims
        Seal(&image, r);
        return image;
    };
    auto unusualOrder = [&] {
        EepromImage image(r.imageBytes, 0x00);
        Place(&image, r, SerialString, 0x18, Descriptor("ZB000001"));
        Place(&image, r, ProductString, 0x2A, Descriptor("ZUV IR Blaster"));
        Place(&image, r, ManufacturerString, 0x48, {6, 0x03, 'Z', 0x00, 0x01, 0x01});
        Seal(&image, r);
        return image;
    };
    const RewriteCase cases[] = {
        {"product grows into blank bytes", ChipR,
         [] { return Image(ChipR, "ZUV", "ZUV IR Blaster", "ZB000001"); }, "ZUV",
         "ZUV IR Blaster-2", "ZB000001", ImageOk},
        {"product shrinks", ChipR,
         [] { return Image(ChipR, "ZUV", "ZUV IR Blaster-2", "ZB000001"); }, "ZUV",
         "ZUV IR Blaster", "ZB000001", ImageOk},
        {"user data after the blank bytes", ChipR, withUserData, "ZUV", "ZUV IR Blaster-8",
         "ZB000001", ImageOk},
        {"serial first, manufacturer beyond a byte", ChipR, unusualOrder, "Z?", "ZUV IR Blaster-3",
         "ZB000001", ImageOk},
        {"X chip", ChipX, [] { return Image(ChipX, "ZUV", "ZUV IR Blaster", "ZB000001"); }, "ZUV",
         "ZUV IR Blaster-4", "ZB000001", ImageOk},
        {"every string new", ChipR, [] { return Image(ChipR, "A", "B", "C"); }, "ZUV Labs",
         "ZUV IR Blaster-5", "ZB123", ImageOk},
        {"area full to the checksum", ChipR,
         [] { return Image(ChipR, "ZUV", "ZUV IR Blaster", std::string(31, 'S')); }, "ZUV",
         "ZUV IR Blaster-2", std::string(31, 'S'), ImageStringsDontFit},
        {"user data right after the strings", ChipR,
         [&] {
             EepromImage image = Image(ChipR, "ZUV", "ZUV IR Blaster", "ZB000001");
             image[0x50] = 0x42; // the first byte after the serial
             Seal(&image, r);
             return image;
         },
         "ZUV", "ZUV IR Blaster-2", "ZB000001", ImageStringsDontFit},
        {"longer than a descriptor holds", ChipX,
         [] { return Image(ChipX, "ZUV", "ZUV IR Blaster", "ZB000001"); }, "ZUV",
         std::string(127, 'P'), "ZB000001", ImageStringTooLong},
    };
    for (const RewriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        const EepromLayout layout = LayoutForChip(c.chip);
        const EepromImage before = c.image();
        ImageStrings strings;
        ASSERT_EQ(ParseImage(before, layout, &strings), ImageOk);
        const std::string wanted[ImageStringCount] = {c.manufacturer, c.product, c.serial};
        EepromImage after = before;
        ASSERT_EQ(RewriteStringDescriptors(&after, layout, strings, wanted), c.expected);
        if (c.expected != ImageOk) {
            EXPECT_EQ(after, before) << "a refused rewrite changed the image";
            continue;
        }
        ImageStrings written;
        ASSERT_EQ(ParseImage(after, layout, &written), ImageOk);
        std::size_t first = layout.stringAreaEnd;
        std::size_t oldEnd = 0;
        std::size_t newEnd = 0;
        for (int which = 0; which < ImageStringCount; ++which) {
            EXPECT_EQ(written.text[which], wanted[which]) << "string " << which;
            first = std::min(first, strings.slots[which].offset);
            oldEnd = std::max(oldEnd, strings.slots[which].offset + strings.slots[which].length);
            newEnd = std::max(newEnd, written.slots[which].offset + written.slots[which].length);
            // Unchanged strings are copied byte for byte, units above 0xFF included.
            if (wanted[which] == strings.text[which]) {
                EXPECT_EQ(Hex(after, written.slots[which].offset,
                              written.slots[which].offset + written.slots[which].length),
                          Hex(before, strings.slots[which].offset,
                              strings.slots[which].offset + strings.slots[which].length))
                    << "string " << which;
            }
        }
        auto stringBytes = [&](std::size_t at) {
            return (at >= 0x0E && at < 0x14) || (at >= first && at < std::max(oldEnd, newEnd)) ||
                   at == layout.checksumOffset || at == layout.checksumOffset + 1;
        };
        EXPECT_EQ(ChangesOutside(before, after, stringBytes), "");
        for (std::size_t at = newEnd; at < oldEnd; ++at) {
            EXPECT_EQ(after[at], 0x00) << "byte 0x" << std::hex << at << " the strings left";
        }
    }
}

TEST(DiffWords, WritesTheWordsThatDifferInAscendingOrder) {
    struct Case {
        const char* name;
        EepromChip chip;
        std::set<std::size_t> changedBytes;
        std::vector<std::uint16_t> expectedAddresses;
    };
    const Case cases[] = {
        {"nothing", ChipR, {}, {}},
        {"R: an even word brings its odd partner", ChipR, {0x20}, {0x10, 0x11}},
        {"R: both bytes of an odd word, and the checksum pair",
         ChipR,
         {0x22, 0x23, 0x7F},
         {0x10, 0x11, 0x3E, 0x3F}},
        {"X: single words", ChipX, {0x20, 0xA3, 0xFE}, {0x10, 0x51, 0x7F}},
    };
    for (const Case& c : cases) {
        const EepromLayout layout = LayoutForChip(c.chip);
        EepromImage before(layout.imageBytes, 0x11);
        EepromImage after = before;
        for (std::size_t at : c.changedBytes) {
            after[at] = 0x22;
        }
        std::vector<std::uint16_t> addresses;
        for (const WordWrite& write : DiffWords(before, after, layout)) {
            addresses.push_back(write.address);
            EXPECT_EQ(write.value, after[2 * write.address] | (after[2 * write.address + 1] << 8))
                << c.name << ": word " << write.address;
        }
        EXPECT_EQ(addresses, c.expectedAddresses) << c.name;
    }
}

} // namespace
