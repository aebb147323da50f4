#include "emulated_chip.h"

#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <linux/usbdevice_fs.h>
#include <mutex>
#include <set>
#include <sys/ioctl.h>
#include <utility>

namespace {

// Where the two chips keep what, in bytes.
struct ChipLayout {
    std::size_t eepromBytes;
    std::size_t stringStart;
    std::uint8_t pointerFlag;
    std::size_t checksumOffset;
    std::size_t checksumSkipFrom; // bytes left out of the checksum
    std::size_t checksumSkipTo;
    std::size_t lockedFrom; // bytes of the image that ignore writes
    std::size_t lockedTo;
    std::uint16_t productId;
    std::uint16_t bcdDevice;
    const char* defaultProduct; // what an unprogrammed chip calls itself
};

const ChipLayout& LayoutOf(ChipKind kind) {
    static const ChipLayout r = {
        0x80, 0x18, 0x80, 0x7E, 0, 0, 0, 0, 0x6001, 0x0600, "FT232R USB UART"};
    static const ChipLayout x = {
        0x100, 0xA0, 0x00, 0xFE, 0x24, 0x80, 0x80, 0xA0, 0x6015, 0x1000, "FT230X Basic UART"};
    // Only its identity matters: the driver does not take on this chip.
    static const ChipLayout bm = {
        0x80, 0x14, 0x80, 0x7E, 0, 0, 0, 0, 0x6001, 0x0400, "USB <-> Serial"};
    return kind == Ft232r ? r : kind == Ft230x ? x : bm;
}

constexpr std::size_t FactoryWords = 64; // the R chip's area above its EEPROM
constexpr int RequestTypeMask = 0x60;
constexpr int StandardRequest = 0x00;
constexpr int VendorRequest = 0x40;

std::uint16_t WordAt(const ChipBytes& bytes, std::size_t offset) {
    return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

std::uint16_t Checksum(const ChipLayout& layout, const ChipBytes& image) {
    std::uint16_t sum = 0xAAAA;
    for (std::size_t at = 0; at < layout.checksumOffset; at += 2) {
        if (at < layout.checksumSkipFrom || at >= layout.checksumSkipTo) {
            sum = static_cast<std::uint16_t>(sum ^ WordAt(image, at));
            sum = static_cast<std::uint16_t>((sum << 1) | (sum >> 15));
        }
    }
    return sum;
}

ChipBytes StringDescriptor(const std::string& text) {
    ChipBytes bytes = {static_cast<std::uint8_t>(2 + 2 * text.size()), 0x03};
    for (char c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(0);
    }
    return bytes;
}

// The descriptor a pointer and length pair frames, or nothing.
ChipBytes FramedDescriptor(const ChipLayout& layout, const ChipBytes& image, int which) {
    std::size_t length = image[0x0F + 2 * which];
    std::size_t offset = image[0x0E + 2 * which] & (layout.eepromBytes - 1);
    if (length < 2 || offset + length > layout.checksumOffset || image[offset] != length ||
        image[offset + 1] != 0x03) {
        return {};
    }
    return ChipBytes(image.begin() + static_cast<std::ptrdiff_t>(offset),
                     image.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

std::string DescriptorText(const ChipBytes& descriptor) {
    std::string text;
    for (std::size_t at = 2; at + 1 < descriptor.size(); at += 2) {
        text += static_cast<char>(descriptor[at]);
    }
    return text;
}

std::string Hex(const ChipBytes& bytes) {
    std::string text;
    char digits[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

struct PendingUrb {
    UMockdevIoctlClient* client;
    UMockdevIoctlData* urb;
};

} // namespace

struct EmulatedChip {
    std::mutex lock;
    UsbTestbed* testbed = nullptr;
    ChipKind kind = Ft232r;
    ChipBytes eeprom;
    ChipBytes factory; // R only: the words above the EEPROM
    bool ignoresWrites = false;
    bool stringsFail = false;
    bool resetsFail = false;
    unsigned char latency = 16;
    // The current enumeration.
    ChipBytes deviceDescriptor;
    ChipBytes configDescriptor;
    ChipBytes strings[4]; // 0: languages, 1: manufacturer, 2: product, 3: serial
    bool driverBound = true;
    ChipCounts counts;
    std::deque<PendingUrb> reapable;
    std::set<UMockdevIoctlClient*> clients;      // file descriptors opened so far
    std::set<UMockdevIoctlClient*> staleClients; // opened before a re-enumeration
    std::string sysfsPath;
    std::string devnode;
    int devnum = 0;
    UMockdevIoctlBase* handler = nullptr;
};

struct UsbTestbed {
    UMockdevTestbed* testbed = nullptr;
    std::vector<std::unique_ptr<EmulatedChip>> chips;
};

namespace {

// Takes the descriptors from the EEPROM, as the chip does when it starts.
void Enumerate(EmulatedChip* chip) {
    const ChipLayout& layout = LayoutOf(chip->kind);
    const ChipBytes& image = chip->eeprom;
    bool valid = Checksum(layout, image) == WordAt(image, layout.checksumOffset);
    std::uint16_t vendor = valid ? WordAt(image, 2) : 0x0403;
    std::uint16_t product = valid ? WordAt(image, 4) : layout.productId;
    std::uint8_t attributes = valid ? static_cast<std::uint8_t>(image[8] | 0x80) : 0x80;
    std::uint8_t power = valid ? image[9] : 45;
    chip->strings[0] = {4, 3, 0x09, 0x04};
    for (int which = 0; which < 3; ++which) {
        chip->strings[1 + which] = valid ? FramedDescriptor(layout, image, which) : ChipBytes();
    }
    if (!valid) {
        chip->strings[1] = StringDescriptor("Chip Maker");
        chip->strings[2] = StringDescriptor(layout.defaultProduct);
    }
    std::uint8_t serialIndex = chip->strings[3].empty() ? 0 : 3;
    // USB 2.0, no class, 8-byte control packets; the ids; string indexes; one configuration.
    chip->deviceDescriptor = {0x12, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08};
    for (std::uint16_t word : {vendor, product, layout.bcdDevice}) {
        chip->deviceDescriptor.push_back(static_cast<std::uint8_t>(word & 0xFF));
        chip->deviceDescriptor.push_back(static_cast<std::uint8_t>(word >> 8));
    }
    chip->deviceDescriptor.insert(chip->deviceDescriptor.end(), {1, 2, serialIndex, 1});
    chip->configDescriptor = {9, 2, 32,   0, 1,  1,    0,    attributes, power, // config
                              9, 4, 0,    0, 2,  0xFF, 0xFF, 0xFF,       2,     // interface
                              7, 5, 0x81, 2, 64, 0,    0,                       // bulk in
                              7, 5, 0x02, 2, 64, 0,    0};                      // bulk out
}

// The attributes the kernel shows in sysfs for the current enumeration.
void PublishEnumeration(EmulatedChip* chip) {
    UMockdevTestbed* testbed = chip->testbed->testbed;
    const char* path = chip->sysfsPath.c_str();
    ChipBytes descriptors = chip->deviceDescriptor;
    descriptors.insert(descriptors.end(), chip->configDescriptor.begin(),
                       chip->configDescriptor.end());
    umockdev_testbed_set_attribute_binary(testbed, path, "descriptors", descriptors.data(),
                                          static_cast<int>(descriptors.size()));
    char id[8];
    std::snprintf(id, sizeof id, "%04x", WordAt(chip->deviceDescriptor, 8));
    umockdev_testbed_set_attribute(testbed, path, "idVendor", id);
    std::snprintf(id, sizeof id, "%04x", WordAt(chip->deviceDescriptor, 10));
    umockdev_testbed_set_attribute(testbed, path, "idProduct", id);
    umockdev_testbed_set_attribute(testbed, path, "manufacturer",
                                   DescriptorText(chip->strings[1]).c_str());
    umockdev_testbed_set_attribute(testbed, path, "product",
                                   DescriptorText(chip->strings[2]).c_str());
    umockdev_testbed_set_attribute(testbed, path, "serial",
                                   DescriptorText(chip->strings[3]).c_str());
}

std::uint16_t ReadEepromWord(const EmulatedChip& chip, std::uint16_t address) {
    address &= 0x7F;
    if (chip.kind == Ft232r && address >= 0x40) {
        return WordAt(chip.factory, 2 * (address - 0x40u));
    }
    return WordAt(chip.eeprom, 2u * address);
}

void WriteEepromWord(EmulatedChip* chip, std::uint16_t address, std::uint16_t value) {
    const ChipLayout& layout = LayoutOf(chip->kind);
    std::size_t offset = 2u * address;
    if (chip->ignoresWrites || offset >= layout.eepromBytes ||
        (offset >= layout.lockedFrom && offset < layout.lockedTo)) {
        return;
    }
    chip->eeprom[offset] = static_cast<std::uint8_t>(value & 0xFF);
    chip->eeprom[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

// Answers one control transfer; false stalls it. buffer holds the setup packet
// and then the data stage.
bool AnswerControl(EmulatedChip* chip, std::uint8_t* buffer, int length, int* actual) {
    const int requestType = buffer[0];
    const int request = buffer[1];
    const std::uint16_t value = WordAt(ChipBytes(buffer, buffer + 8), 2);
    const std::uint16_t index = WordAt(ChipBytes(buffer, buffer + 8), 4);
    const std::uint16_t wanted = WordAt(ChipBytes(buffer, buffer + 8), 6);
    const bool in = (requestType & 0x80) != 0;
    ++(in ? chip->counts.controlIn : chip->counts.controlOut);

    ChipBytes reply;
    bool answered = true;
    if ((requestType & RequestTypeMask) == StandardRequest) {
        if (request == 0x06 && (value >> 8) == 1) {
            reply = chip->deviceDescriptor;
        } else if (request == 0x06 && (value >> 8) == 2) {
            reply = chip->configDescriptor;
        } else if (request == 0x06 && (value >> 8) == 3 && (value & 0xFF) < 4) {
            reply = chip->strings[value & 0xFF];
            answered = !reply.empty() && !chip->stringsFail;
        } else if (request == 0x00) {
            reply = {0, 0};
        } else if (request == 0x08) {
            reply = {1};
        } else {
            answered = request == 0x09 || request == 0x0B; // set configuration, interface
        }
    } else if ((requestType & RequestTypeMask) == VendorRequest) {
        switch (request) {
        case 0x90: {
            ++chip->counts.eepromReads;
            std::uint16_t word = ReadEepromWord(*chip, index);
            reply = {static_cast<std::uint8_t>(word & 0xFF), static_cast<std::uint8_t>(word >> 8)};
            break;
        }
        case 0x91:
            ++chip->counts.eepromWrites;
            WriteEepromWord(chip, index, value);
            break;
        case 0x92:
            ++chip->counts.eepromErases;
            for (std::uint16_t word = 0; word < LayoutOf(chip->kind).eepromBytes / 2; ++word) {
                WriteEepromWord(chip, word, 0xFFFF);
            }
            break;
        case 0x05: // modem status
            reply = {0x01, 0x60};
            break;
        case 0x09:
            chip->latency = static_cast<unsigned char>(value & 0xFF);
            break;
        case 0x0A:
            reply = {chip->latency};
            break;
        case 0x0C: // pins
            reply = {0xFF};
            break;
        case 0x00: // reset, modem control, flow control, baud rate, data format,
        case 0x01: // event and error characters, bit mode
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x06:
        case 0x07:
        case 0x0B:
            break;
        default:
            answered = false;
        }
    } else {
        answered = false;
    }
    if (!answered) {
        *actual = 0;
        return false;
    }
    if (in) {
        std::size_t room = std::min<std::size_t>(wanted, static_cast<std::size_t>(length - 8));
        std::size_t count = std::min(reply.size(), room);
        std::memcpy(buffer + 8, reply.data(), count);
        *actual = static_cast<int>(count);
    } else {
        *actual = wanted;
    }
    return true;
}

void Complete(UMockdevIoctlClient* client, long result, int error) {
    umockdev_ioctl_client_complete(client, result, error);
}

void SubmitUrb(EmulatedChip* chip, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (urbData == nullptr) {
        Complete(client, -1, EFAULT);
        return;
    }
    auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    UMockdevIoctlData* buffer = nullptr;
    if (urb->buffer_length > 0) {
        buffer = umockdev_ioctl_data_resolve(urbData, offsetof(usbdevfs_urb, buffer),
                                             static_cast<gsize>(urb->buffer_length), nullptr);
    }
    int actual = 0;
    int status = 0;
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (buffer == nullptr || urb->buffer_length < 8 ||
            !AnswerControl(chip, buffer->data, urb->buffer_length, &actual)) {
            status = -EPIPE;
        }
    } else if (urb->type == USBDEVFS_URB_TYPE_BULK && buffer != nullptr) {
        // Bulk in: the chip's two modem status bytes and no data; bulk out: all taken.
        if ((urb->endpoint & 0x80) != 0 && urb->buffer_length >= 2) {
            buffer->data[0] = 0x01;
            buffer->data[1] = 0x60;
            actual = 2;
        } else {
            actual = urb->buffer_length;
        }
    } else {
        status = -EINVAL;
    }
    urb->actual_length = actual;
    urb->status = status;
    chip->reapable.push_back({client, static_cast<UMockdevIoctlData*>(g_object_ref(urbData))});
    Complete(client, 0, 0);
}

void ReapUrb(EmulatedChip* chip, UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    auto pending = std::find_if(chip->reapable.begin(), chip->reapable.end(),
                                [&](const PendingUrb& urb) { return urb.client == client; });
    if (pending == chip->reapable.end()) {
        Complete(client, -1, EAGAIN);
        return;
    }
    UMockdevIoctlData* urb = pending->urb;
    chip->reapable.erase(pending);
    UMockdevIoctlData* out = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    bool set = out != nullptr && umockdev_ioctl_data_set_ptr(out, 0, urb);
    g_object_unref(urb);
    Complete(client, set ? 0 : -1, set ? 0 : EFAULT);
}

// A port reset: the chip starts again from its EEPROM. When that changes its
// descriptors the kernel sees a new device: open descriptors of the old one
// fail from then on, and the serial driver binds to the new one.
void ResetPort(EmulatedChip* chip, UMockdevIoctlClient* client) {
    ++chip->counts.portResets;
    if (chip->resetsFail) {
        Complete(client, -1, EIO);
        return;
    }
    ChipBytes before[6] = {chip->deviceDescriptor, chip->configDescriptor, chip->strings[0],
                           chip->strings[1],       chip->strings[2],       chip->strings[3]};
    Enumerate(chip);
    ChipBytes after[6] = {chip->deviceDescriptor, chip->configDescriptor, chip->strings[0],
                          chip->strings[1],       chip->strings[2],       chip->strings[3]};
    if (std::equal(std::begin(before), std::end(before), std::begin(after))) {
        Complete(client, 0, 0);
        return;
    }
    PublishEnumeration(chip);
    chip->staleClients.insert(chip->clients.begin(), chip->clients.end());
    chip->driverBound = true;
    Complete(client, -1, ENODEV);
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* chip = static_cast<EmulatedChip*>(data);
    std::lock_guard<std::mutex> hold(chip->lock);
    const gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (chip->staleClients.count(client) != 0) {
        Complete(client, -1, ENODEV);
        return TRUE;
    }
    switch (request) {
    case USBDEVFS_SUBMITURB:
        SubmitUrb(chip, client, arg);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        ReapUrb(chip, client, arg);
        break;
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* caps =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
        std::uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                              USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(caps->data, &value, sizeof value);
        Complete(client, 0, 0);
        break;
    }
    case USBDEVFS_GETDRIVER: {
        UMockdevIoctlData* query =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_getdriver), nullptr);
        if (!chip->driverBound) {
            Complete(client, -1, ENODATA);
            break;
        }
        auto* driver = reinterpret_cast<usbdevfs_getdriver*>(query->data);
        std::snprintf(driver->driver, sizeof driver->driver, "ftdi_sio");
        Complete(client, 0, 0);
        break;
    }
    case USBDEVFS_DISCONNECT_CLAIM:
        chip->driverBound = false;
        Complete(client, 0, 0);
        break;
    case USBDEVFS_CLAIMINTERFACE:
        Complete(client, chip->driverBound ? -1 : 0, chip->driverBound ? EBUSY : 0);
        break;
    case USBDEVFS_IOCTL: {
        UMockdevIoctlData* wrapped =
            umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ioctl), nullptr);
        int code = reinterpret_cast<usbdevfs_ioctl*>(wrapped->data)->ioctl_code;
        if (code == static_cast<int>(USBDEVFS_DISCONNECT)) {
            chip->driverBound = false;
        } else if (code == static_cast<int>(USBDEVFS_CONNECT)) {
            chip->driverBound = true;
        }
        Complete(client, 0, 0);
        break;
    }
    case USBDEVFS_RESET:
        ResetPort(chip, client);
        break;
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_DISCARDURB:
        Complete(client, 0, 0);
        break;
    default:
        Complete(client, -1, ENOTTY);
    }
    return TRUE;
}

// A newly opened file descriptor. umockdev 0.17 reuses the addresses of
// clients whose descriptors were closed without telling, so whatever was kept
// for an earlier client at this address is dropped here.
void OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    auto* chip = static_cast<EmulatedChip*>(data);
    std::lock_guard<std::mutex> hold(chip->lock);
    chip->clients.insert(client);
    chip->staleClients.erase(client);
    for (auto pending = chip->reapable.begin(); pending != chip->reapable.end();) {
        if (pending->client == client) {
            g_object_unref(pending->urb);
            pending = chip->reapable.erase(pending);
        } else {
            ++pending;
        }
    }
}

} // namespace

UsbTestbed* StartTestbed(std::string* why) {
    auto* testbed = new UsbTestbed();
    testbed->testbed = umockdev_testbed_new();
    if (testbed->testbed == nullptr) {
        *why = "umockdev_testbed_new failed";
        delete testbed;
        return nullptr;
    }
    return testbed;
}

void StopTestbed(UsbTestbed* testbed) {
    if (testbed == nullptr) {
        return;
    }
    for (auto& chip : testbed->chips) {
        umockdev_testbed_detach_ioctl(testbed->testbed, chip->devnode.c_str(), nullptr);
        g_object_unref(chip->handler);
        for (PendingUrb& pending : chip->reapable) {
            g_object_unref(pending.urb);
        }
    }
    g_object_unref(testbed->testbed);
    delete testbed;
}

EmulatedChip* PlugChip(UsbTestbed* testbed, ChipKind kind, const ChipBytes& eeprom) {
    auto owned = std::make_unique<EmulatedChip>();
    EmulatedChip* chip = owned.get();
    chip->testbed = testbed;
    chip->kind = kind;
    chip->eeprom = eeprom;
    chip->eeprom.resize(LayoutOf(kind).eepromBytes, 0xFF);
    if (kind == Ft232r) {
        for (std::size_t at = 0; at < 2 * FactoryWords; ++at) {
            chip->factory.push_back(static_cast<std::uint8_t>(0xC3 ^ at));
        }
    }
    Enumerate(chip);

    const int port = static_cast<int>(testbed->chips.size()) + 1;
    chip->devnum = port + 1;
    char names[160];
    std::snprintf(names, sizeof names, "/devices/pci0000:00/0000:00:14.0/usb1/1-%d", port);
    chip->sysfsPath = std::string("/sys") + names;
    std::string description = std::string("P: ") + names + "\n";
    std::snprintf(names, sizeof names, "bus/usb/001/%03d", chip->devnum);
    chip->devnode = std::string("/dev/") + names;
    description += std::string("N: ") + names + "\n";
    description += "E: DEVNAME=" + chip->devnode + "\n";
    description += "E: DEVTYPE=usb_device\nE: DRIVER=usb\nE: SUBSYSTEM=usb\n";
    description += "E: BUSNUM=001\nE: DEVNUM=" + std::string(names + 12) + "\n";
    description += "E: MAJOR=189\nE: MINOR=" + std::to_string(chip->devnum - 1) + "\n";
    description += "A: busnum=1\nA: devnum=" + std::to_string(chip->devnum) + "\n";
    description += "A: bConfigurationValue=1\nA: bNumConfigurations=1\nA: speed=12\n";
    ChipBytes descriptors = chip->deviceDescriptor;
    descriptors.insert(descriptors.end(), chip->configDescriptor.begin(),
                       chip->configDescriptor.end());
    description += "H: descriptors=" + Hex(descriptors) + "\n";

    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed->testbed, description.c_str(), &error)) {
        std::fprintf(stderr, "emulated chip: %s\n", error->message);
        g_error_free(error);
        return nullptr;
    }
    PublishEnumeration(chip);
    chip->handler = umockdev_ioctl_base_new();
    g_signal_connect(chip->handler, "handle-ioctl", G_CALLBACK(OnIoctl), chip);
    g_signal_connect(chip->handler, "client-connected", G_CALLBACK(OnConnected), chip);
    if (!umockdev_testbed_attach_ioctl(testbed->testbed, chip->devnode.c_str(), chip->handler,
                                       &error)) {
        std::fprintf(stderr, "emulated chip: %s\n", error->message);
        g_error_free(error);
        g_object_unref(chip->handler);
        return nullptr;
    }
    testbed->chips.push_back(std::move(owned));
    return chip;
}

ChipBytes ChipEeprom(EmulatedChip* chip) {
    std::lock_guard<std::mutex> hold(chip->lock);
    return chip->eeprom;
}

void SetChipEeprom(EmulatedChip* chip, const ChipBytes& eeprom) {
    std::lock_guard<std::mutex> hold(chip->lock);
    chip->eeprom = eeprom;
    chip->eeprom.resize(LayoutOf(chip->kind).eepromBytes, 0xFF);
}

void IgnoreWrites(EmulatedChip* chip) {
    std::lock_guard<std::mutex> hold(chip->lock);
    chip->ignoresWrites = true;
}

void FailStringRequests(EmulatedChip* chip) {
    std::lock_guard<std::mutex> hold(chip->lock);
    chip->stringsFail = true;
}

void FailPortResets(EmulatedChip* chip) {
    std::lock_guard<std::mutex> hold(chip->lock);
    chip->resetsFail = true;
}

ChipCounts CountsOf(EmulatedChip* chip) {
    std::lock_guard<std::mutex> hold(chip->lock);
    return chip->counts;
}

void ClearCounts(EmulatedChip* chip) {
    std::lock_guard<std::mutex> hold(chip->lock);
    chip->counts = ChipCounts();
}

std::string EnumeratedProduct(EmulatedChip* chip) {
    std::lock_guard<std::mutex> hold(chip->lock);
    return DescriptorText(chip->strings[2]);
}

bool KernelDriverBound(EmulatedChip* chip) {
    std::lock_guard<std::mutex> hold(chip->lock);
    return chip->driverBound;
}

ChipBytes ProgrammedImage(ChipKind kind, const std::string& manufacturer,
                          const std::string& product, const std::string& serial) {
    const ChipLayout& layout = LayoutOf(kind);
    ChipBytes image(layout.eepromBytes, 0x00);
    image[1] = 0x40;
    image[2] = 0x03;
    image[3] = 0x04;
    image[4] = static_cast<std::uint8_t>(layout.productId & 0xFF);
    image[5] = static_cast<std::uint8_t>(layout.productId >> 8);
    image[6] = static_cast<std::uint8_t>(layout.bcdDevice & 0xFF);
    image[7] = static_cast<std::uint8_t>(layout.bcdDevice >> 8);
    image[8] = 0xA0;    // bus powered, remote wake-up
    image[9] = 45;      // 90 mA
    image[0x0A] = 0x08; // serial number in use
    image[0x0D] = 0x02; // USB 2.0
    if (kind == Ft232r) {
        image[0x14] = 0x23; // CBUS functions
        image[0x15] = 0x10;
        image[0x16] = 0x05;
    } else if (kind == Ft230x) {
        image[0x1A] = 0x09; // CBUS functions
        image[0x1B] = 0x02;
        image[0x1C] = 0x01;
        image[0x1D] = 0x05;
        for (std::size_t at = layout.lockedFrom; at < layout.lockedTo; ++at) {
            image[at] = static_cast<std::uint8_t>(0x5A ^ at); // factory data
        }
    }
    std::size_t at = layout.stringStart;
    const std::string* texts[3] = {&manufacturer, &product, &serial};
    for (int which = 0; which < 3; ++which) {
        ChipBytes descriptor = StringDescriptor(*texts[which]);
        image[0x0E + 2 * which] = static_cast<std::uint8_t>(layout.pointerFlag | at);
        image[0x0F + 2 * which] = static_cast<std::uint8_t>(descriptor.size());
        std::copy(descriptor.begin(), descriptor.end(),
                  image.begin() + static_cast<std::ptrdiff_t>(at));
        at += descriptor.size();
    }
    SealImage(kind, &image);
    return image;
}

void SealImage(ChipKind kind, ChipBytes* image) {
    const ChipLayout& layout = LayoutOf(kind);
    std::uint16_t sum = Checksum(layout, *image);
    (*image)[layout.checksumOffset] = static_cast<std::uint8_t>(sum & 0xFF);
    (*image)[layout.checksumOffset + 1] = static_cast<std::uint8_t>(sum >> 8);
}

std::size_t StringsEnd(ChipKind kind, const ChipBytes& image) {
    const ChipLayout& layout = LayoutOf(kind);
    std::size_t end = layout.stringStart;
    for (int which = 0; which < 3; ++which) {
        std::size_t offset = image[0x0E + 2 * which] & (layout.eepromBytes - 1);
        std::size_t length = image[0x0F + 2 * which];
        if (length != 0) {
            end = std::max(end, offset + length);
        }
    }
    return end;
}

std::size_t StringAreaStart(ChipKind kind) {
    return LayoutOf(kind).stringStart;
}

std::size_t ChecksumOffset(ChipKind kind) {
    return LayoutOf(kind).checksumOffset;
}
