// GetModelNumber: the short and long forms of the model record.
#include <string.h>

#include "support.h"

using namespace MiscCommon;

namespace unit {
namespace {

constexpr uint8_t kUntouched = 0xEE;
constexpr DWORD kBuffer = 260;
const char kShort[] = "ABCDEFGHIJKL";  // record bytes 40 to 51
const char kTail[] = "abcdefgh";       // record bytes 96 to 103

// A 128-byte record (or another length) with distinct bytes in both fields
// and the length byte L at offset 95.
std::string Record(uint8_t length, size_t size = 128) {
    Bytes record(size, 0);
    for (size_t i = 0; i < 12 && 40 + i < size; i++) record[40 + i] = (uint8_t)kShort[i];
    if (size > 95) record[95] = length;
    for (size_t i = 0; i < 8 && 96 + i < size; i++) record[96 + i] = (uint8_t)kTail[i];
    return Hex(record);
}

std::string LongForm(uint8_t length) {
    return std::string(kShort, 11) + std::string(kTail, length - 11u);
}

class ModelNumberTest : public DriverTest {};

struct Row {
    uint8_t length;
    DWORD capacity;
    DWORD result;
    DWORD size;        // *pSize afterwards
    std::string text;  // the bytes written
};

TEST_F(ModelNumberTest, LengthByteAgainstCapacity) {
    const std::string shortForm = kShort;
    const Row rows[] = {
        {0, 258, MISC_RESULT_SUCCESS, 12, shortForm},
        {15, 258, MISC_RESULT_SUCCESS, 15, LongForm(15)},
        {19, 20, MISC_RESULT_SUCCESS, 19, LongForm(19)},
        {12, 20, MISC_RESULT_SUCCESS, 12, LongForm(12)},  // byte 51 is not part of it
        {15, 19, MISC_RESULT_SUCCESS, 12, shortForm},     // below 20: the short form
        {19, 12, MISC_RESULT_SUCCESS, 12, shortForm},
        {0, 12, MISC_RESULT_SUCCESS, 12, shortForm},
        {0, 11, MISC_RESULT_INSUFFICIENT_BUFFER, 12, ""},
        {15, 11, MISC_RESULT_INSUFFICIENT_BUFFER, 12, ""},
        {11, 258, MISC_RESULT_FAILED, 258, ""},
        {20, 258, MISC_RESULT_FAILED, 258, ""},
        {255, 258, MISC_RESULT_FAILED, 258, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE("L " + std::to_string(row.length) + ", capacity " +
                     std::to_string(row.capacity));
        misc.CloseDriver();
        Open(MachineWith("\"model_record\": \"" + Record(row.length) + "\""));
        uint8_t buffer[kBuffer];
        memset(buffer, kUntouched, sizeof buffer);
        DWORD size = row.capacity;
        EXPECT_EQ(misc.GetModelNumber(buffer, &size), row.result);
        EXPECT_EQ(size, row.size);
        EXPECT_EQ(std::string((const char *)buffer, row.text.size()), row.text);
        for (size_t i = row.text.size(); i < sizeof buffer; i++)
            ASSERT_EQ(buffer[i], kUntouched) << "byte " << i;
        // Only a failed request writes the text.
        EXPECT_EQ(ErrorText(misc), "stale");
        EXPECT_EQ(DeviceIo(TakeTrace(), IOCTL_MISC_GET_MODEL_NUMBER).size(), 1u);
    }
}

TEST_F(ModelNumberTest, SizeQueryAnswersTheShortFormsLength) {
    for (uint8_t length : {0, 19}) {
        SCOPED_TRACE("L " + std::to_string(length));
        misc.CloseDriver();
        Open(MachineWith("\"model_record\": \"" + Record(length) + "\""));
        DWORD size = 0;
        EXPECT_EQ(misc.GetModelNumber(nullptr, &size), MISC_RESULT_INSUFFICIENT_BUFFER);
        EXPECT_EQ(size, 12u);
        EXPECT_EQ(DeviceIo(TakeTrace(), IOCTL_MISC_GET_MODEL_NUMBER).size(), 1u);
    }
}

TEST_F(ModelNumberTest, UnusableRequestWritesTheText) {
    const std::string records[] = {
        "\"model_record\": \"" + Record(0, 127) + "\"",
        "\"model_record\": \"" + Record(0, 129) + "\"",
        R"("faults": {"model": {"last_error": 31}})",
    };
    for (const std::string &members : records) {
        SCOPED_TRACE(members.substr(0, 40));
        misc.CloseDriver();
        Open(MachineWith(members));
        uint8_t buffer[kBuffer];
        memset(buffer, kUntouched, sizeof buffer);
        DWORD size = 258;
        EXPECT_EQ(misc.GetModelNumber(buffer, &size), MISC_RESULT_FAILED);
        EXPECT_EQ(size, 258u);
        EXPECT_EQ(buffer[0], kUntouched);
        EXPECT_EQ(ErrorText(misc),
                  "MiscCommon::CMiscCommon::GetModelNumber: DeviceIoControl failed.");
    }
}

TEST_F(ModelNumberTest, ClosedGateSendsNothing) {
    Open(MachineWith(R"("driver_version": "1.0.7.0")"));
    uint8_t buffer[kBuffer];
    memset(buffer, kUntouched, sizeof buffer);
    DWORD size = 258;
    EXPECT_EQ(misc.GetModelNumber(buffer, &size), MISC_RESULT_UNSUPPORTED_VERSION);
    EXPECT_EQ(misc.GetModelNumber(buffer, nullptr), MISC_RESULT_UNSUPPORTED_VERSION);
    EXPECT_EQ(size, 258u);
    EXPECT_EQ(buffer[0], kUntouched);
    EXPECT_EQ(ErrorText(misc), "stale");
    EXPECT_TRUE(Events(TakeTrace(), "device_io").empty());
}

TEST_F(ModelNumberTest, ArgumentChecksInOrder) {
    Open(MachineWith(""));
    uint8_t buffer[kBuffer];
    DWORD size = 5;
    EXPECT_EQ(misc.GetModelNumber(buffer, nullptr), MISC_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(misc.GetModelNumber(nullptr, &size), MISC_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(size, 5u);
    misc.CloseDriver();
    EXPECT_EQ(misc.GetModelNumber(nullptr, nullptr), MISC_RESULT_NOT_INITIALIZED);
    CMiscCommonAccess::_hDevice(misc) = nullptr;
    EXPECT_EQ(misc.GetModelNumber(nullptr, nullptr), MISC_RESULT_NOT_INITIALIZED);
    CMiscCommonAccess::_hDevice(misc) = INVALID_HANDLE_VALUE;
    EXPECT_EQ(ErrorText(misc), "stale");
    EXPECT_TRUE(Events(TakeTrace(), "device_io").empty());
}

}  // namespace
}  // namespace unit
