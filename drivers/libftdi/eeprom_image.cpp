#include "eeprom_image.h"

#include <algorithm>

namespace {

// Byte offsets of the pointer and length bytes of the three strings: the
// manufacturer's at 0x0E/0x0F, the product's at 0x10/0x11, the serial's at 0x12/0x13.
constexpr std::size_t PointerBytes = 0x0E;
constexpr std::uint8_t StringDescriptorType = 0x03;
// bLength is one byte and even: 126 UTF-16 units at most.
constexpr std::size_t MaxDescriptorBytes = 254;

std::size_t PointerOffset(int which) {
    return PointerBytes + 2 * static_cast<std::size_t>(which);
}

std::uint16_t WordAt(const EepromImage& image, std::size_t byte) {
    return static_cast<std::uint16_t>(image[byte] | (image[byte + 1] << 8));
}

bool IsBlank(std::uint8_t byte) {
    return byte == 0x00 || byte == 0xFF;
}

std::string DescriptorText(const EepromImage& image, const StringSlot& slot) {
    std::string text;
    for (std::size_t at = slot.offset + 2; at + 1 < slot.offset + slot.length; at += 2) {
        std::uint16_t unit = WordAt(image, at);
        text += unit <= 0xFF ? static_cast<char>(unit) : '?';
    }
    return text;
}

} // namespace

EepromLayout LayoutForChip(EepromChip chip) {
    if (chip == ChipX) {
        // Words 0x12 to 0x3F are configuration the checksum does not cover.
        return EepromLayout{0x100, 0xA0, 0xFE, 0xFE, 0x24, 0x80, 0x00, false};
    }
    // The R chip's internal EEPROM: 64 words, strings from 0x18, pointers
    // carrying bit 7. Its words are written in aligned pairs, a precaution:
    // the chip is reported to commit a word only together with its partner.
    return EepromLayout{0x80, 0x18, 0x7E, 0x7E, 0, 0, 0x80, true};
}

std::uint16_t ComputeChecksum(const EepromImage& image, const EepromLayout& layout) {
    std::uint16_t checksum = 0xAAAA;
    for (std::size_t byte = 0; byte < layout.checksumOffset; byte += 2) {
        if (byte >= layout.checksumSkipFrom && byte < layout.checksumSkipTo) {
            continue;
        }
        checksum ^= WordAt(image, byte);
        checksum = static_cast<std::uint16_t>((checksum << 1) | (checksum >> 15));
    }
    return checksum;
}

std::uint16_t StoredChecksum(const EepromImage& image, const EepromLayout& layout) {
    return WordAt(image, layout.checksumOffset);
}

ImageStatus ParseImage(const EepromImage& image, const EepromLayout& layout,
                       ImageStrings* strings) {
    if (image.size() != layout.imageBytes) {
        return ImageWrongSize;
    }
    if (ComputeChecksum(image, layout) != StoredChecksum(image, layout)) {
        return ImageBadChecksum;
    }
    for (int which = 0; which < ImageStringCount; ++which) {
        std::uint8_t pointer = image[PointerOffset(which)];
        std::size_t length = image[PointerOffset(which) + 1];
        StringSlot slot = {0, 0};
        if (length != 0) {
            slot = {pointer & (layout.imageBytes - 1), length};
            bool framed = length >= 2 && length % 2 == 0 && slot.offset >= layout.stringAreaStart &&
                          slot.offset + length <= layout.stringAreaEnd &&
                          image[slot.offset] == length &&
                          image[slot.offset + 1] == StringDescriptorType;
            if (!framed) {
                return ImageBadDescriptor;
            }
        }
        strings->slots[which] = slot;
        strings->text[which] = length != 0 ? DescriptorText(image, slot) : std::string();
    }
    return ImageOk;
}

ImageStatus RewriteStringDescriptors(EepromImage* image, const EepromLayout& layout,
                                     const ImageStrings& strings,
                                     const std::string (&newText)[ImageStringCount]) {
    if (image->size() != layout.imageBytes) {
        return ImageWrongSize;
    }
    // Present strings keep their order; strings the image lacks go last.
    int order[ImageStringCount] = {ManufacturerString, ProductString, SerialString};
    std::stable_sort(order, order + ImageStringCount, [&](int a, int b) {
        const StringSlot& left = strings.slots[a];
        const StringSlot& right = strings.slots[b];
        if ((left.length == 0) != (right.length == 0)) {
            return right.length == 0;
        }
        return left.offset < right.offset;
    });

    std::size_t roomStart = layout.stringAreaStart;
    std::size_t oldEnd = 0;
    bool anyPresent = false;
    for (const StringSlot& slot : strings.slots) {
        if (slot.length != 0) {
            roomStart = anyPresent ? std::min(roomStart, slot.offset) : slot.offset;
            oldEnd = std::max(oldEnd, slot.offset + slot.length);
            anyPresent = true;
        }
    }
    if (!anyPresent) {
        oldEnd = roomStart;
    }
    std::size_t roomEnd = oldEnd;
    while (roomEnd < layout.stringAreaEnd && IsBlank((*image)[roomEnd])) {
        ++roomEnd;
    }

    EepromImage descriptors[ImageStringCount];
    std::size_t total = 0;
    for (int which = 0; which < ImageStringCount; ++which) {
        const StringSlot& slot = strings.slots[which];
        EepromImage& bytes = descriptors[which];
        if (slot.length != 0 && newText[which] == strings.text[which]) {
            bytes.assign(image->begin() + static_cast<std::ptrdiff_t>(slot.offset),
                         image->begin() + static_cast<std::ptrdiff_t>(slot.offset + slot.length));
        } else if (!newText[which].empty()) {
            if (2 + 2 * newText[which].size() > MaxDescriptorBytes) {
                return ImageStringTooLong;
            }
            bytes.push_back(static_cast<std::uint8_t>(2 + 2 * newText[which].size()));
            bytes.push_back(StringDescriptorType);
            for (char c : newText[which]) {
                bytes.push_back(static_cast<std::uint8_t>(c));
                bytes.push_back(0);
            }
        }
        total += bytes.size();
    }
    if (roomStart + total > roomEnd) {
        return ImageStringsDontFit;
    }

    std::size_t at = roomStart;
    for (int which : order) {
        const EepromImage& bytes = descriptors[which];
        std::uint8_t pointer = 0;
        if (!bytes.empty()) {
            std::copy(bytes.begin(), bytes.end(), image->begin() + static_cast<std::ptrdiff_t>(at));
            // An existing pointer keeps its flag bits; a new one gets the chip's.
            std::uint8_t flags = strings.slots[which].length != 0
                                     ? static_cast<std::uint8_t>((*image)[PointerOffset(which)] &
                                                                 ~(layout.imageBytes - 1))
                                     : layout.pointerFlag;
            pointer = static_cast<std::uint8_t>(flags | at);
        }
        (*image)[PointerOffset(which)] = pointer;
        (*image)[PointerOffset(which) + 1] = static_cast<std::uint8_t>(bytes.size());
        at += bytes.size();
    }
    std::fill(image->begin() + static_cast<std::ptrdiff_t>(at),
              image->begin() + static_cast<std::ptrdiff_t>(std::max(at, oldEnd)), 0x00);

    std::uint16_t checksum = ComputeChecksum(*image, layout);
    (*image)[layout.checksumOffset] = static_cast<std::uint8_t>(checksum & 0xFF);
    (*image)[layout.checksumOffset + 1] = static_cast<std::uint8_t>(checksum >> 8);
    return ImageOk;
}

std::vector<WordWrite> DiffWords(const EepromImage& before, const EepromImage& after,
                                 const EepromLayout& layout) {
    std::vector<WordWrite> writes;
    const std::size_t words = layout.imageBytes / 2;
    const std::size_t step = layout.pairedWrites ? 2 : 1;
    for (std::size_t first = 0; first < words; first += step) {
        bool differs = false;
        for (std::size_t word = first; word < first + step; ++word) {
            differs = differs || WordAt(before, 2 * word) != WordAt(after, 2 * word);
        }
        for (std::size_t word = first; differs && word < first + step; ++word) {
            writes.push_back({static_cast<std::uint16_t>(word), WordAt(after, 2 * word)});
        }
    }
    return writes;
}
