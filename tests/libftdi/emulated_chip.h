// The vendor's USB-serial chip emulated at the USB level under umockdev, so
// that the real libusb and libftdi1 talk to it unchanged: a device described
// in a umockdev testbed (sysfs attributes and descriptors) and a handler of
// the usbdevfs ioctls that answers the control transfers the chip knows.
//
// The chip enumerates with descriptors taken from its EEPROM (the defaults of
// an unprogrammed chip when the EEPROM's checksum is bad), at plug-in and at
// each port reset; the EEPROM itself can change in between, as on the chip.
//
// Processes see the testbed when they run with umockdev's preload library and
// UMOCKDEV_DIR, which the testbed sets in this process's environment.
#ifndef ZUV_TESTS_LIBFTDI_EMULATED_CHIP_H
#define ZUV_TESTS_LIBFTDI_EMULATED_CHIP_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using ChipBytes = std::vector<std::uint8_t>;

enum ChipKind {
    Ft232r, // 64-word internal EEPROM, a factory area above it that ignores writes
    Ft230x, // X series: 128 words, words 0x40-0x4F a factory area that ignores writes
    Ft232bm // an older chip of the same ids, with an external 64-word EEPROM
};

// What the chip was asked, since the last ClearCounts.
struct ChipCounts {
    int controlIn = 0;  // control transfers device-to-host
    int controlOut = 0; // control transfers host-to-device
    int eepromReads = 0;
    int eepromWrites = 0;
    int eepromErases = 0;
    int portResets = 0;
};

struct EmulatedChip;
struct UsbTestbed;

// A testbed with no device; null (with *why) if umockdev could not make one.
UsbTestbed* StartTestbed(std::string* why);
void StopTestbed(UsbTestbed* testbed);

// Plugs a chip whose EEPROM holds eeprom (128 bytes for Ft232r, 256 for
// Ft230x); it enumerates at once. The testbed owns it.
EmulatedChip* PlugChip(UsbTestbed* testbed, ChipKind kind, const ChipBytes& eeprom);

ChipBytes ChipEeprom(EmulatedChip* chip);
// Replaces the EEPROM's contents without a new enumeration.
void SetChipEeprom(EmulatedChip* chip, const ChipBytes& eeprom);
// Makes the chip accept write requests and keep nothing, as some copies do.
void IgnoreWrites(EmulatedChip* chip);
// Makes the chip stall every request for a string descriptor.
void FailStringRequests(EmulatedChip* chip);
// Makes every port reset of the chip fail, as when the hub refuses it.
void FailPortResets(EmulatedChip* chip);

ChipCounts CountsOf(EmulatedChip* chip);
void ClearCounts(EmulatedChip* chip);
// The product string of the chip's current enumeration.
std::string EnumeratedProduct(EmulatedChip* chip);
// True while the kernel's serial driver is bound to the chip's interface.
bool KernelDriverBound(EmulatedChip* chip);

// An EEPROM image as the vendor's tools program the chip: typical settings,
// the three strings packed from the string area's start, blank to the
// checksum. Strings are written one UTF-16 unit per byte.
ChipBytes ProgrammedImage(ChipKind kind, const std::string& manufacturer,
                          const std::string& product, const std::string& serial);
// Stores the chip's checksum of image in its last word.
void SealImage(ChipKind kind, ChipBytes* image);
// Byte offset of the first byte after the string descriptors the image's
// pointers name.
std::size_t StringsEnd(ChipKind kind, const ChipBytes& image);
std::size_t StringAreaStart(ChipKind kind);
std::size_t ChecksumOffset(ChipKind kind);

#endif
