// Helpers shared by the simulated driver's tests.
#ifndef ZUV_SIM_TEST_SUPPORT_H
#define ZUV_SIM_TEST_SUPPORT_H

#include "bus.h"

#include <ostream>
#include <string>

// gtest prints buses and devices as bus-file text.
void PrintTo(const SimBus& bus, std::ostream* os);
void PrintTo(const SimDevice& device, std::ostream* os);

// A new folder under the system's temporary folder, removed with its contents.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string ReadFileText(const std::string& path);
void WriteFileText(const std::string& path, const std::string& text);

// Every numeric field set to a value no other field has and that is not its
// default, and strings with bytes the bus file must escape.
SimDevice DistinctDevice();

#endif
