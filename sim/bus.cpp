#include "bus.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

// clang-format off
#define SIM_FIELD(name) \
    { #name, offsetof(FT_PROGRAM_DATA, name), static_cast<int>(sizeof(FT_PROGRAM_DATA::name) * 8) }
// clang-format on

// In the order of the record, which is the order FormatBus writes them in.
const SimField kSimFields[] = {
    SIM_FIELD(VendorId),
    SIM_FIELD(ProductId),
    SIM_FIELD(MaxPower),
    SIM_FIELD(PnP),
    SIM_FIELD(SelfPowered),
    SIM_FIELD(RemoteWakeup),
    SIM_FIELD(Rev4),
    SIM_FIELD(IsoIn),
    SIM_FIELD(IsoOut),
    SIM_FIELD(PullDownEnable),
    SIM_FIELD(SerNumEnable),
    SIM_FIELD(USBVersionEnable),
    SIM_FIELD(USBVersion),
    SIM_FIELD(Rev5),
    SIM_FIELD(IsoInA),
    SIM_FIELD(IsoInB),
    SIM_FIELD(IsoOutA),
    SIM_FIELD(IsoOutB),
    SIM_FIELD(PullDownEnable5),
    SIM_FIELD(SerNumEnable5),
    SIM_FIELD(USBVersionEnable5),
    SIM_FIELD(USBVersion5),
    SIM_FIELD(AIsHighCurrent),
    SIM_FIELD(BIsHighCurrent),
    SIM_FIELD(IFAIsFifo),
    SIM_FIELD(IFAIsFifoTar),
    SIM_FIELD(IFAIsFastSer),
    SIM_FIELD(AIsVCP),
    SIM_FIELD(IFBIsFifo),
    SIM_FIELD(IFBIsFifoTar),
    SIM_FIELD(IFBIsFastSer),
    SIM_FIELD(BIsVCP),
    SIM_FIELD(UseExtOsc),
    SIM_FIELD(HighDriveIOs),
    SIM_FIELD(EndpointSize),
    SIM_FIELD(PullDownEnableR),
    SIM_FIELD(SerNumEnableR),
    SIM_FIELD(InvertTXD),
    SIM_FIELD(InvertRXD),
    SIM_FIELD(InvertRTS),
    SIM_FIELD(InvertCTS),
    SIM_FIELD(InvertDTR),
    SIM_FIELD(InvertDSR),
    SIM_FIELD(InvertDCD),
    SIM_FIELD(InvertRI),
    SIM_FIELD(Cbus0),
    SIM_FIELD(Cbus1),
    SIM_FIELD(Cbus2),
    SIM_FIELD(Cbus3),
    SIM_FIELD(Cbus4),
    SIM_FIELD(RIsD2XX),
    SIM_FIELD(PullDownEnable7),
    SIM_FIELD(SerNumEnable7),
    SIM_FIELD(ALSlowSlew),
    SIM_FIELD(ALSchmittInput),
    SIM_FIELD(ALDriveCurrent),
    SIM_FIELD(AHSlowSlew),
    SIM_FIELD(AHSchmittInput),
    SIM_FIELD(AHDriveCurrent),
    SIM_FIELD(BLSlowSlew),
    SIM_FIELD(BLSchmittInput),
    SIM_FIELD(BLDriveCurrent),
    SIM_FIELD(BHSlowSlew),
    SIM_FIELD(BHSchmittInput),
    SIM_FIELD(BHDriveCurrent),
    SIM_FIELD(IFAIsFifo7),
    SIM_FIELD(IFAIsFifoTar7),
    SIM_FIELD(IFAIsFastSer7),
    SIM_FIELD(AIsVCP7),
    SIM_FIELD(IFBIsFifo7),
    SIM_FIELD(IFBIsFifoTar7),
    SIM_FIELD(IFBIsFastSer7),
    SIM_FIELD(BIsVCP7),
    SIM_FIELD(PowerSaveEnable),
    SIM_FIELD(PullDownEnable8),
    SIM_FIELD(SerNumEnable8),
    SIM_FIELD(ASlowSlew),
    SIM_FIELD(ASchmittInput),
    SIM_FIELD(ADriveCurrent),
    SIM_FIELD(BSlowSlew),
    SIM_FIELD(BSchmittInput),
    SIM_FIELD(BDriveCurrent),
    SIM_FIELD(CSlowSlew),
    SIM_FIELD(CSchmittInput),
    SIM_FIELD(CDriveCurrent),
    SIM_FIELD(DSlowSlew),
    SIM_FIELD(DSchmittInput),
    SIM_FIELD(DDriveCurrent),
    SIM_FIELD(ARIIsTXDEN),
    SIM_FIELD(BRIIsTXDEN),
    SIM_FIELD(CRIIsTXDEN),
    SIM_FIELD(DRIIsTXDEN),
    SIM_FIELD(AIsVCP8),
    SIM_FIELD(BIsVCP8),
    SIM_FIELD(CIsVCP8),
    SIM_FIELD(DIsVCP8),
};
#undef SIM_FIELD
const std::size_t kSimFieldCount = sizeof(kSimFields) / sizeof(kSimFields[0]);

const char* const kSimFunctions[] = {
    "FT_CreateDeviceInfoList", "FT_GetDeviceInfoList", "FT_OpenEx", "FT_EE_ReadEx",
    "FT_EE_ProgramEx",         "FT_CyclePort",         "FT_Close",
};
const std::size_t kSimFunctionCount = sizeof(kSimFunctions) / sizeof(kSimFunctions[0]);

namespace {

// The header words of the record; the bus file cannot set them.
const char* const kHeaderWords[] = {"Signature1", "Signature2", "Version"};

struct StringField {
    const char* name;
    std::string SimDevice::*member;
};
const StringField kStringFields[] = {
    {"Manufacturer", &SimDevice::manufacturer},
    {"ManufacturerId", &SimDevice::manufacturerId},
    {"Description", &SimDevice::description},
    {"SerialNumber", &SimDevice::serialNumber},
};

const std::size_t kMaxStringBytes = 255;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& s) {
    std::size_t begin = 0;
    std::size_t end = s.size();
    while (begin < end && IsBlank(s[begin]))
        ++begin;
    while (end > begin && IsBlank(s[end - 1]))
        --end;
    return s.substr(begin, end - begin);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

enum class NumberResult { kOk, kMalformed, kTooLarge };

// Decimal or 0x hex, digits only: no sign, no blanks, no suffix.
NumberResult ParseNumber(const std::string& text, std::uint32_t max, std::uint32_t* value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::size_t i = hex ? 2 : 0;
    if (i == text.size())
        return NumberResult::kMalformed;
    std::uint64_t n = 0;
    bool tooLarge = false;
    for (; i < text.size(); ++i) {
        int digit =
            hex ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
        if (digit < 0)
            return NumberResult::kMalformed;
        n = n * (hex ? 16 : 10) + static_cast<std::uint64_t>(digit);
        if (n > max) {
            tooLarge = true;
            n = max; // keeps n from overflowing while the rest is checked
        }
    }
    if (tooLarge)
        return NumberResult::kTooLarge;
    *value = static_cast<std::uint32_t>(n);
    return NumberResult::kOk;
}

// Undoes EscapeBusString; on a bad escape returns false with *bad the offending text.
bool Unescape(const std::string& text, std::string* bytes, std::string* bad) {
    bytes->clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes->push_back(text[i]);
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            bytes->push_back('\\');
            ++i;
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == 'x') {
            int high = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
            int low = i + 3 < text.size() ? HexDigit(text[i + 3]) : -1;
            if (high < 0 || low < 0) {
                *bad = text.substr(i, 4);
                return false;
            }
            bytes->push_back(static_cast<char>(high * 16 + low));
            i += 3;
            continue;
        }
        *bad = text.substr(i, 2);
        return false;
    }
    return true;
}

std::string Quoted(const std::string& s) {
    return "'" + s + "'";
}

struct Seen {
    std::string name;
    int line;
};

const Seen* FindSeen(const std::vector<Seen>& seen, const std::string& name) {
    for (const Seen& s : seen)
        if (s.name == name)
            return &s;
    return nullptr;
}

// The reason a "Name = value" line inside [device] is wrong, or empty when it is
// applied to *device.
std::string SetDeviceField(const std::string& name, const std::string& value, SimDevice* device) {
    for (const StringField& field : kStringFields) {
        if (name != field.name)
            continue;
        std::string bytes;
        std::string bad;
        if (!Unescape(value, &bytes, &bad))
            return "bad escape " + Quoted(bad) + " in value of " + Quoted(name) +
                   " (only \\xNN and \\\\ are allowed)";
        if (bytes.size() > kMaxStringBytes)
            return "value of " + Quoted(name) + " is " + std::to_string(bytes.size()) +
                   " bytes long, at most 255 allowed";
        device->*field.member = bytes;
        return "";
    }
    if (const SimField* field = FindSimField(name)) {
        std::string width = std::to_string(field->bits) + "-bit field " + Quoted(name);
        std::uint32_t max = field->bits == 8 ? 0xFFu : 0xFFFFu;
        std::uint32_t number = 0;
        if (value.empty())
            return "missing value for " + width;
        switch (ParseNumber(value, max, &number)) {
        case NumberResult::kMalformed:
            return "bad number " + Quoted(value) + " for " + width;
        case NumberResult::kTooLarge:
            return "value " + value + " out of range for " + width;
        case NumberResult::kOk:
            break;
        }
        SetSimField(&device->data, *field, number);
        return "";
    }
    for (const char* header : kHeaderWords)
        if (name == header)
            return "header word " + Quoted(name) + " cannot be set in a bus file";
    return "unknown field " + Quoted(name);
}

// The same for a "FT_Function = status" line inside [fail].
std::string AddFault(const std::string& name, const std::string& value, SimBus* bus) {
    bool known = false;
    for (std::size_t i = 0; i < kSimFunctionCount; ++i)
        known = known || name == kSimFunctions[i];
    if (!known)
        return "unknown function " + Quoted(name);
    std::uint32_t status = 0;
    if (value.empty())
        return "missing status for " + Quoted(name);
    switch (ParseNumber(value, 0xFFFFFFFFu, &status)) {
    case NumberResult::kMalformed:
        return "bad status " + Quoted(value) + " for " + Quoted(name);
    case NumberResult::kTooLarge:
        return "status " + value + " out of range for " + Quoted(name) + " (32 bits)";
    case NumberResult::kOk:
        break;
    }
    if (status == FT_OK)
        return "status of " + Quoted(name) + " must not be 0 (FT_OK)";
    bus->faults.push_back(SimFault{name, static_cast<FT_STATUS>(status)});
    return "";
}

std::string ErrnoText(int error) {
    return std::strerror(error);
}

long ProcessId() {
#if defined(_WIN32)
    return static_cast<long>(_getpid());
#else
    return static_cast<long>(getpid());
#endif
}

// Renames from over to, replacing it; returns the reason on failure, else "".
// std::rename replaces an existing file on POSIX but not on Windows.
std::string ReplaceFile(const std::string& from, const std::string& to) {
#if defined(_WIN32)
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
        return "";
    return "cannot replace it (Windows error " + std::to_string(GetLastError()) + ")";
#else
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return "";
    return ErrnoText(errno);
#endif
}

} // namespace

SimDevice DefaultSimDevice() {
    // A typical single-port chip as it leaves the factory.
    SimDevice device{};
    device.data.VendorId = 0x0403;
    device.data.ProductId = 0x6001;
    device.data.MaxPower = 90;
    device.data.PnP = 1;
    device.data.SelfPowered = 0;
    device.data.RemoteWakeup = 1;
    device.data.EndpointSize = 64;
    device.data.SerNumEnableR = 1;
    device.data.Cbus0 = 3;
    device.data.Cbus1 = 2;
    device.data.Cbus2 = 0;
    device.data.Cbus3 = 1;
    device.data.Cbus4 = 5;
    return device;
}

const SimField* FindSimField(const std::string& name) {
    for (std::size_t i = 0; i < kSimFieldCount; ++i)
        if (name == kSimFields[i].name)
            return &kSimFields[i];
    return nullptr;
}

unsigned GetSimField(const FT_PROGRAM_DATA& data, const SimField& field) {
    const unsigned char* at = reinterpret_cast<const unsigned char*>(&data) + field.offset;
    if (field.bits == 8)
        return *at;
    WORD word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

void SetSimField(FT_PROGRAM_DATA* data, const SimField& field, unsigned value) {
    unsigned char* at = reinterpret_cast<unsigned char*>(data) + field.offset;
    if (field.bits == 8) {
        *at = static_cast<unsigned char>(value);
        return;
    }
    WORD word = static_cast<WORD>(value);
    std::memcpy(at, &word, sizeof word);
}

bool ParseBus(const std::string& text, const std::string& fileName, SimBus* bus,
              std::string* error) {
    *bus = SimBus();
    enum class Section { kNone, kDevice, kFail } section = Section::kNone;
    std::vector<Seen> deviceFields; // of the current device
    std::vector<Seen> failFunctions;
    int lineNumber = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') // a file saved with CRLF line ends
            line.pop_back();
        std::string trimmed = Trim(line);
        if (trimmed.empty() || trimmed[0] == '#')
            continue;

        std::string what;
        if (trimmed[0] == '[') {
            if (trimmed == "[device]") {
                section = Section::kDevice;
                bus->devices.push_back(DefaultSimDevice());
                deviceFields.clear();
            } else if (trimmed == "[fail]") {
                section = Section::kFail;
            } else {
                what = "unknown section " + Quoted(trimmed) + " (expected [device] or [fail])";
            }
        } else {
            std::size_t equals = trimmed.find('=');
            std::string name = Trim(trimmed.substr(0, equals));
            std::string value = equals == std::string::npos ? "" : Trim(trimmed.substr(equals + 1));
            std::vector<Seen>& seen = section == Section::kFail ? failFunctions : deviceFields;
            const Seen* first = FindSeen(seen, name);
            if (equals == std::string::npos) {
                what = "expected 'Name = value', got " + Quoted(trimmed);
            } else if (name.empty()) {
                what = "missing name before '='";
            } else if (section == Section::kNone) {
                what = Quoted(name) + " set before any [device] or [fail] section";
            } else if (first != nullptr) {
                what = Quoted(name) + " given twice (first on line " + std::to_string(first->line) +
                       ")";
            } else if (section == Section::kDevice) {
                what = SetDeviceField(name, value, &bus->devices.back());
            } else {
                what = AddFault(name, value, bus);
            }
            if (what.empty())
                seen.push_back(Seen{name, lineNumber});
        }
        if (!what.empty()) {
            *error = fileName + ":" + std::to_string(lineNumber) + ": " + what;
            return false;
        }
    }
    return true;
}

bool LoadBus(const std::string& path, SimBus* bus, std::string* error) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = path + ": " + ErrnoText(errno);
        return false;
    }
    std::string text;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, got);
    int readError = std::ferror(file) ? errno : 0; // a folder opens, but reading it fails
    std::fclose(file);
    if (readError != 0) {
        *error = path + ": " + ErrnoText(readError);
        return false;
    }
    return ParseBus(text, path, bus, error);
}

std::string EscapeBusString(const std::string& bytes) {
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        bool innerSpace = c == ' ' && i > 0 && i + 1 < bytes.size();
        if (c == '\\') {
            out += "\\\\";
        } else if ((c >= 0x21 && c <= 0x7E) || innerSpace) {
            out += static_cast<char>(c);
        } else {
            const char* hex = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 0xF];
        }
    }
    return out;
}

// Comments of the file read are not kept: the text is made from the model alone.
std::string FormatBus(const SimBus& bus) {
    std::string out = "# attached devices, rewritten by the simulated driver\n";
    for (const SimDevice& device : bus.devices) {
        out += "\n[device]\n";
        for (const StringField& field : kStringFields) {
            std::string value = EscapeBusString(device.*field.member);
            out += std::string(field.name) + " =" + (value.empty() ? "" : " " + value) + "\n";
        }
        for (std::size_t i = 0; i < kSimFieldCount; ++i) {
            const SimField& field = kSimFields[i];
            unsigned value = GetSimField(device.data, field);
            char number[16];
            bool hex = field.offset == offsetof(FT_PROGRAM_DATA, VendorId) ||
                       field.offset == offsetof(FT_PROGRAM_DATA, ProductId);
            std::snprintf(number, sizeof number, hex ? "0x%04x" : "%u", value);
            out += std::string(field.name) + " = " + number + "\n";
        }
    }
    if (!bus.faults.empty()) {
        out += "\n[fail]\n";
        for (const SimFault& fault : bus.faults)
            out += fault.function + " = " + std::to_string(fault.status) + "\n";
    }
    return out;
}

bool SaveBus(const std::string& path, const SimBus& bus, std::string* error) {
    std::string text = FormatBus(bus);
    std::string temporary = path + ".new-" + std::to_string(ProcessId());
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        *error = temporary + ": " + ErrnoText(errno);
        return false;
    }
    int writeError = 0;
    if (std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fflush(file) != 0)
        writeError = errno != 0 ? errno : EIO;
    if (std::fclose(file) != 0 && writeError == 0)
        writeError = errno != 0 ? errno : EIO;
    if (writeError != 0) {
        std::remove(temporary.c_str());
        *error = temporary + ": " + ErrnoText(writeError);
        return false;
    }
    std::string why = ReplaceFile(temporary, path);
    if (!why.empty()) {
        std::remove(temporary.c_str());
        *error = path + ": " + why;
        return false;
    }
    return true;
}

bool operator==(const SimDevice& a, const SimDevice& b) {
    if (a.data.Signature1 != b.data.Signature1 || a.data.Signature2 != b.data.Signature2 ||
        a.data.Version != b.data.Version)
        return false;
    for (std::size_t i = 0; i < kSimFieldCount; ++i)
        if (GetSimField(a.data, kSimFields[i]) != GetSimField(b.data, kSimFields[i]))
            return false;
    for (const StringField& field : kStringFields)
        if (a.*field.member != b.*field.member)
            return false;
    return true;
}
bool operator!=(const SimDevice& a, const SimDevice& b) {
    return !(a == b);
}

bool operator==(const SimFault& a, const SimFault& b) {
    return a.function == b.function && a.status == b.status;
}
bool operator!=(const SimFault& a, const SimFault& b) {
    return !(a == b);
}

bool operator==(const SimBus& a, const SimBus& b) {
    return a.devices == b.devices && a.faults == b.faults;
}
bool operator!=(const SimBus& a, const SimBus& b) {
    return !(a == b);
}
