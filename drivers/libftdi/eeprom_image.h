// The raw EEPROM image of the chip as the driver keeps it: where its string
// descriptors live, its checksum, and rewriting the strings in place. Plain
// byte logic, no USB, so it can be tested on its own.
#ifndef ZUV_LIBFTDI_EEPROM_IMAGE_H
#define ZUV_LIBFTDI_EEPROM_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using EepromImage = std::vector<std::uint8_t>;

// The chips whose image layout the driver knows.
enum EepromChip { ChipR, ChipX };

struct EepromLayout {
    std::size_t imageBytes;       // bytes of the image the driver reads, checks and rewrites
    std::size_t stringAreaStart;  // first byte a string descriptor may occupy
    std::size_t stringAreaEnd;    // one past the last such byte (the checksum word follows)
    std::size_t checksumOffset;   // byte offset of the checksum word
    std::size_t checksumSkipFrom; // byte range the checksum leaves out (none when equal)
    std::size_t checksumSkipTo;
    std::uint8_t pointerFlag; // set in every string pointer byte (R: 0x80, X: none)
    bool pairedWrites;        // words written as whole aligned pairs, even word first
};

EepromLayout LayoutForChip(EepromChip chip);

enum ImageString { ManufacturerString, ProductString, SerialString, ImageStringCount };

// One string descriptor as the image's pointer and length bytes place it;
// length 0 means the image has no such string.
struct StringSlot {
    std::size_t offset;
    std::size_t length;
};

struct ImageStrings {
    StringSlot slots[ImageStringCount];
    // Each descriptor's text, one byte per UTF-16 unit: units above 0xFF read as '?'.
    std::string text[ImageStringCount];
};

enum ImageStatus {
    ImageOk,
    ImageWrongSize,      // the image is not layout.imageBytes long
    ImageBadChecksum,    // the stored checksum differs from the computed one
    ImageBadDescriptor,  // a pointer or length byte does not frame a string descriptor
    ImageStringsDontFit, // the new strings need more room than the string area has
    ImageStringTooLong   // a string longer than one descriptor can hold
};

std::uint16_t ComputeChecksum(const EepromImage& image, const EepromLayout& layout);
std::uint16_t StoredChecksum(const EepromImage& image, const EepromLayout& layout);

// Checks the size and the checksum, then reads the three string descriptors.
ImageStatus ParseImage(const EepromImage& image, const EepromLayout& layout, ImageStrings* strings);

// Writes the three strings into image (parsed as strings) in place: the
// descriptors are packed from the lowest one's offset, in their present order,
// each unchanged one copied byte for byte; the pointer and length bytes follow
// them and the checksum is recomputed. The room they may take is the bytes the
// present strings span plus the blank bytes (0x00 or 0xFF) that follow them, up
// to the first other byte or the area's end: whatever lies after is kept as
// user data. Bytes the strings no longer use are zeroed; every byte outside
// the string room, the pointer and length bytes and the checksum is kept.
// New strings are written one UTF-16 unit per byte. On any status but ImageOk
// the image is left as it was.
ImageStatus RewriteStringDescriptors(EepromImage* image, const EepromLayout& layout,
                                     const ImageStrings& strings,
                                     const std::string (&newText)[ImageStringCount]);

struct WordWrite {
    std::uint16_t address; // word address
    std::uint16_t value;
};

// The words to write to turn before into after, in ascending address order
// (so the checksum word, the highest, comes last). With paired writes, both
// words of an aligned pair are written when either differs.
std::vector<WordWrite> DiffWords(const EepromImage& before, const EepromImage& after,
                                 const EepromLayout& layout);

#endif
