// The simulated driver's model of the USB bus: the devices attached, each with
// the contents of its EEPROM, and the calls made to fail. It lives in a text
// "bus file" that the simulated driver loads once and rewrites when a device is
// programmed, and that tests read before and after a run of the tool.
//
// Bus file format, one line at a time:
//   # comment            (also blank lines; '#' may follow leading blanks)
//   [device]             starts the next attached device, in file order
//   Name = value         sets a field of the current device
//   [fail]               starts the fault section; a later [fail] continues it
//   FT_Function = status makes every call of that function return status
// String fields (Manufacturer, ManufacturerId, Description, SerialNumber) take
// raw bytes with the blanks around them trimmed; \xNN stands for any byte and
// \\ for a backslash; at most 255 bytes. Numeric fields are those of
// FT_PROGRAM_DATA but the header words, in decimal or 0x hex, within their width.
// A field not given keeps the default of DefaultSimDevice, a typical single-port
// chip: VendorId 0x0403, ProductId 0x6001, MaxPower 90, PnP 1, RemoteWakeup 1,
// EndpointSize 64, SerNumEnableR 1, Cbus0 3, Cbus1 2, Cbus3 1, Cbus4 5, every
// other field 0 and every string empty.
#ifndef ZUV_SIM_BUS_H
#define ZUV_SIM_BUS_H

#include "vendor/ftd2xx.h"

#include <cstddef>
#include <string>
#include <vector>

struct SimDevice {
    FT_PROGRAM_DATA data; // header words and string pointers zero
    std::string manufacturer, manufacturerId, description, serialNumber; // raw bytes
};
struct SimFault {
    std::string function;
    FT_STATUS status;
};
struct SimBus {
    std::vector<SimDevice> devices; // file order
    std::vector<SimFault> faults;   // file order
};
struct SimField {
    const char* name;
    std::size_t offset;
    int bits; // 8 or 16
};
extern const SimField kSimFields[]; // every numeric FT_PROGRAM_DATA field but the header words
extern const std::size_t kSimFieldCount;
SimDevice DefaultSimDevice();
// Parses a bus file's text; fileName is used in messages. On failure returns false,
// sets *error to "FILE:LINE: what is wrong" and leaves *bus unspecified.
bool ParseBus(const std::string& text, const std::string& fileName, SimBus* bus,
              std::string* error);
// Reads and parses a file; an unreadable file gives "FILE: why" (strerror text).
bool LoadBus(const std::string& path, SimBus* bus, std::string* error);
// The canonical text: every device with every field written out, then the [fail] section.
std::string FormatBus(const SimBus& bus);
// Writes FormatBus atomically: a new file in the same folder renamed over the old one.
bool SaveBus(const std::string& path, const SimBus& bus, std::string* error);

// Additions to the interface above.

// The names of the seven functions a [fail] line may name.
extern const char* const kSimFunctions[];
extern const std::size_t kSimFunctionCount;

// The field of that exact name in kSimFields, or null.
const SimField* FindSimField(const std::string& name);
unsigned GetSimField(const FT_PROGRAM_DATA& data, const SimField& field);
// Stores value cut to the field's width.
void SetSimField(FT_PROGRAM_DATA* data, const SimField& field, unsigned value);

// A string value as the bus file writes it: backslash, every byte outside
// 0x21..0x7E but inner spaces, and leading or trailing blanks become escapes.
std::string EscapeBusString(const std::string& bytes);

// Equal in the header words, every field of kSimFields and the four strings
// (the string pointers of the record are not compared).
bool operator==(const SimDevice& a, const SimDevice& b);
bool operator!=(const SimDevice& a, const SimDevice& b);
bool operator==(const SimFault& a, const SimFault& b);
bool operator!=(const SimFault& a, const SimFault& b);
bool operator==(const SimBus& a, const SimBus& b);
bool operator!=(const SimBus& a, const SimBus& b);

#endif
