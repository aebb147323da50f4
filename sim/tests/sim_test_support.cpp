#include "sim_test_support.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>

void PrintTo(const SimBus& bus, std::ostream* os) {
    *os << "\n" << FormatBus(bus);
}

void PrintTo(const SimDevice& device, std::ostream* os) {
    SimBus bus;
    bus.devices.push_back(device);
    PrintTo(bus, os);
}

TempDir::TempDir() {
    std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device random;
    for (;;) {
        std::filesystem::path candidate = base / ("zuv-sim-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadFileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFileText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    EXPECT_TRUE(out.good()) << "cannot write " << path;
}

SimDevice DistinctDevice() {
    SimDevice device = DefaultSimDevice();
    for (std::size_t i = 0; i < kSimFieldCount; ++i) {
        // 100.. for bytes and 0xA000.. for words lie above every default.
        unsigned value = kSimFields[i].bits == 8 ? 100 + static_cast<unsigned>(i)
                                                 : 0xA000 + static_cast<unsigned>(i);
        SetSimField(&device.data, kSimFields[i], value);
    }
    device.manufacturer = " Zed\\Works\t";
    device.manufacturerId = std::string("Z\0W", 3);
    device.description = "ZUV IR Blaster #2 = [\"best\"] \xc3\xa9\xff";
    device.serialNumber = std::string(255, 'S');
    return device;
}
