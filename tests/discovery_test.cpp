// Discovery against a scripted driver: what the two list calls return is set
// per test, and the records carry whatever bytes the test chooses.
#include "discovery.h"
#include "unit_description.h"
#include "vendor/ftd2xx.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

// An allocation the address sanitizer cannot satisfy must come back as null,
// as it would from the system allocator, not abort the test.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace {

struct ScriptedList {
    FT_STATUS createStatus = FT_OK;
    DWORD createCount = 0;
    FT_STATUS getStatus = FT_OK;
    bool overrideGetCount = false; // else the second call writes records.size()
    DWORD getCount = 0;
    std::vector<FT_DEVICE_LIST_INFO_NODE> records;
    // What discovery did.
    int createCalls = 0;
    int getCalls = 0;
    DWORD countPassedToGet = 0;
};

ScriptedList gList;

FT_DEVICE_LIST_INFO_NODE Record(const char* description) {
    FT_DEVICE_LIST_INFO_NODE record;
    std::memset(&record, 0x5A, sizeof record); // no stray terminators
    record.Flags = 0;
    record.Type = FT_DEVICE_232R;
    std::memcpy(record.SerialNumber, "A1B2C3", 7);
    // As the driver fills the field: terminated only when shorter than it.
    std::size_t length = std::strlen(description);
    std::memcpy(record.Description, description,
                length < sizeof record.Description ? length + 1 : sizeof record.Description);
    record.ftHandle = nullptr;
    return record;
}

void Attach(std::initializer_list<const char*> descriptions) {
    gList = ScriptedList();
    for (const char* description : descriptions) {
        gList.records.push_back(Record(description));
    }
    gList.createCount = static_cast<DWORD>(gList.records.size());
}

} // namespace

extern "C" FT_STATUS WINAPI FT_CreateDeviceInfoList(DWORD* count) {
    ++gList.createCalls;
    if (gList.createStatus != FT_OK) {
        return gList.createStatus;
    }
    *count = gList.createCount;
    return FT_OK;
}

extern "C" FT_STATUS WINAPI FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* records, DWORD* count) {
    ++gList.getCalls;
    gList.countPassedToGet = *count;
    if (gList.getStatus != FT_OK) {
        return gList.getStatus;
    }
    for (std::size_t i = 0; i < gList.records.size(); ++i) {
        records[i] = gList.records[i];
    }
    *count = gList.overrideGetCount ? gList.getCount : static_cast<DWORD>(gList.records.size());
    return FT_OK;
}

namespace {

std::string Show(std::initializer_list<const char*> descriptions) {
    std::string shown;
    for (const char* description : descriptions) {
        shown += std::string(shown.empty() ? "" : ", ") + "\"" + description + "\"";
    }
    return "[" + shown + "]";
}

TEST(DiscoverBlaster, PicksTheOneBlasterAmongTheAttachedDevices) {
    struct Case {
        std::initializer_list<const char*> attached;
        DiscoveryOutcome outcome;
        const char* chosen; // on Found
    };
    const Case cases[] = {
        {{}, NoneFound, nullptr},
        {{"USB Serial Converter", "Dual RS232"}, NoneFound, nullptr},
        {{"ZUV IR Blaste"}, NoneFound, nullptr},
        {{"zuv ir blaster"}, NoneFound, nullptr},
        {{"ZUV IR Blaster"}, Found, "ZUV IR Blaster"},
        {{"ZUV IR Blaster-3", "USB Serial Converter", "Dual RS232"}, Found, "ZUV IR Blaster-3"},
        {{"USB Serial Converter", "ZUV IR Blaster-3", "Dual RS232"}, Found, "ZUV IR Blaster-3"},
        {{"USB Serial Converter", "Dual RS232", "ZUV IR Blaster-3"}, Found, "ZUV IR Blaster-3"},
        {{"ZUV IR Blaster-2", "ZUV IR Blaster-5"}, Multiple, nullptr},
        {{"ZUV IR Blaster", "ZUV IR Blaster"}, Multiple, nullptr},
        {{"ZUV IR Blaster-1", "Other", "ZUV IR Blaster Pro"}, Multiple, nullptr},
    };
    for (const Case& c : cases) {
        Attach(c.attached);
        char chosen[DescriptionBufferSize];
        std::memset(chosen, '?', sizeof chosen);
        DiscoveryOutcome outcome = DiscoverBlaster(chosen);
        EXPECT_EQ(outcome, c.outcome) << "attached " << Show(c.attached);
        if (c.outcome == Found) {
            EXPECT_STREQ(chosen, c.chosen) << "attached " << Show(c.attached);
        }
        EXPECT_EQ(gList.getCalls, c.attached.size() == 0 ? 0 : 1)
            << "attached " << Show(c.attached)
            << ": the list is read only when devices are counted";
        if (gList.getCalls == 1) {
            EXPECT_EQ(gList.countPassedToGet, gList.createCount) << "attached " << Show(c.attached);
        }
    }
}

TEST(DiscoverBlaster, ReportsEachDriverFailureAsItsOutcome) {
    Attach({"ZUV IR Blaster"});
    gList.createStatus = FT_OTHER_ERROR;
    char chosen[DescriptionBufferSize];
    EXPECT_EQ(DiscoverBlaster(chosen), InitFailed);
    EXPECT_EQ(gList.getCalls, 0);

    Attach({"ZUV IR Blaster"});
    gList.getStatus = FT_IO_ERROR;
    EXPECT_EQ(DiscoverBlaster(chosen), ListFailed);

    // The second call lists no device at all, although the first counted one.
    Attach({"ZUV IR Blaster"});
    gList.overrideGetCount = true;
    gList.getCount = 0;
    EXPECT_EQ(DiscoverBlaster(chosen), NoneFound);
}

TEST(DiscoverBlaster, CopiesAFullDescriptionFieldWithoutReadingPastIt) {
    // 64 bytes and no terminator in the field, then the handle's bytes.
    std::string full = std::string("ZUV IR Blaster") + std::string(50, 'x');
    ASSERT_EQ(full.size(), sizeof(FT_DEVICE_LIST_INFO_NODE::Description));
    Attach({"USB Serial Converter"});
    FT_DEVICE_LIST_INFO_NODE record = Record("");
    std::memcpy(record.Description, full.data(), full.size());
    std::memset(&record.ftHandle, 0x41, sizeof record.ftHandle);
    gList.records.push_back(record);
    gList.records.push_back(Record("Dual RS232"));
    gList.createCount = 3;

    char chosen[DescriptionBufferSize];
    std::memset(chosen, '?', sizeof chosen);
    ASSERT_EQ(DiscoverBlaster(chosen), Found);
    EXPECT_EQ(std::string(chosen), full);
}

TEST(DiscoverBlaster, NeverScansPastTheAllocatedRecords) {
    // One device counted: room for 100 records. The second call claims many
    // more; reading them would run off the allocation (the address sanitizer
    // stops the test there).
    Attach({"ZUV IR Blaster-4"});
    gList.overrideGetCount = true;
    gList.getCount = 100000;
    char chosen[DescriptionBufferSize];
    EXPECT_EQ(DiscoverBlaster(chosen), Found);
    EXPECT_STREQ(chosen, "ZUV IR Blaster-4");
}

TEST(DiscoverBlaster, ACountTooLargeToAllocateIsAListFailure) {
    Attach({});
    gList.createCount = 0xFFFFFFFFu;
    char chosen[DescriptionBufferSize];
    EXPECT_EQ(DiscoverBlaster(chosen), ListFailed);
    EXPECT_EQ(gList.getCalls, 0);
}

} // namespace
