// The message capsule: its layout, the cipher over it, and
// EncapsuledDeviceIoControl with replies made by hand.
#include <string.h>

#include "blowfish.h"
#include "byte_order.h"
#include "support.h"

using namespace MiscCommon;

namespace unit {
namespace {

constexpr DWORD kSessionId = 0x0BADF00D;
constexpr uint8_t kUntouched = 0xEE;
constexpr DWORD kOut = 14;  // the manufacture-date packet's OutSize

void Cipher(const BlowfishContext *context, uint8_t *area, size_t size, bool encipher) {
    for (size_t i = 0; i + 8 <= size; i += 8) {
        uint32_t left = ReadLe32(area + i), right = ReadLe32(area + i + 4);
        if (encipher)
            BlowfishEncipher(context, &left, &right);
        else
            BlowfishDecipher(context, &left, &right);
        WriteLe32(area + i, left);
        WriteLe32(area + i + 4, right);
    }
}
// Written out here rather than taken from protocol/, so that a wrong
// shared formula shows.
uint32_t CapsuleSize(uint32_t payload) {
    return payload == 0 ? 16 : ((payload - 1) & ~7u) + 24;
}

// A reply capsule as the test driver writes it.
struct Reply {
    bool result = true;
    DWORD lastError = 0;
    uint32_t dataSize = 0;
    int64_t capsuleSize = -1;  // -1: the size that fits dataSize
    int64_t bytes = -1;        // bytes returned; -1: the whole capsule
};

// The misc device for these tests: answers every capsule with the reply
// set, enciphered under the test key in secure mode, and keeps the requests.
class Responder {
public:
    explicit Responder(const BlowfishContext *context)
        : _context(context),
          _hook([this](uint32_t code, const uint8_t *in, uint32_t inSize, uint8_t *out,
                       uint32_t capacity) { return Answer(code, in, inSize, out, capacity); }) {}

    Reply reply;
    bool secure = false;
    std::vector<Bytes> requests;

private:
    sim::MiscDeviceReply Answer(uint32_t code, const uint8_t *in, uint32_t inSize, uint8_t *out,
                                uint32_t capacity) {
        if (code != IOCTL_MISC_CAPSULE) return sim::MiscDeviceReply{true, 0, 0};
        requests.push_back(Bytes(in, in + inSize));
        // What fits the data, counted without wrapping; the driver can write
        // no more than the buffer it was handed.
        const uint64_t natural = reply.dataSize == 0 ? 16 : (reply.dataSize - 1ull) / 8 * 8 + 24;
        const uint32_t written = natural < capacity ? (uint32_t)natural : capacity;
        Bytes capsule(capacity, 0);
        WriteLe32(&capsule[0], reply.dataSize);
        WriteLe32(&capsule[4],
                reply.capsuleSize < 0 ? (uint32_t)natural : (uint32_t)reply.capsuleSize);
        WriteLe32(&capsule[8], kSessionId);
        // Reply data: 0xA0, 0xA1, ...
        for (uint32_t i = 0; i < reply.dataSize && 12 + i < written - 4; i++)
            capsule[12 + i] = (uint8_t)(0xA0 + i);
        if (secure) Cipher(_context, &capsule[12], written - 16, true);
        uint32_t bytes = reply.bytes < 0 ? written : (uint32_t)reply.bytes;
        if (bytes > capacity) bytes = capacity;
        memcpy(out, capsule.data(), bytes);
        return sim::MiscDeviceReply{reply.result, reply.lastError, bytes};
    }

    const BlowfishContext *_context;
    DeviceHook _hook;
};

// A reply and what the caller sees of it.
struct ReplyRow {
    const char *name;
    Reply reply;
    DWORD outSize;
    BOOL result;
    DWORD lastError;  // kSentinel: the driver call's own, left as it was
    DWORD returned;
    const char *text;  // nullptr: unchanged
    bool advances;
};

const char kInvalidStructure[] =
    "MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Invalid structure returned. size = ";

class CapsuleTest : public DriverTest {
protected:
    void SetUp() override {
        HostedTest::SetUp();
        memset(&key, 0, sizeof key);
        const uint8_t keyBytes[16] = {'c', 'a', 'p', 's', 'u', 'l', 'e', ' ',
                                      't', 'e', 's', 't', ' ', 'k', 'e', 'y'};
        BlowfishInitialize(&key, keyBytes, sizeof keyBytes);
    }
    // An open device in clear mode, or in secure mode with the test key.
    void Open(bool secure, const std::string &machine = MachineWith("")) {
        DriverTest::Open(machine);
        CMiscCommonAccess::_bSecureSession(misc) = secure ? 1 : 0;
        if (secure) {
            CMiscCommonAccess::_pBlowfishContext(misc) =
                (BYTE *)HeapAlloc(GetProcessHeap(), 0, MISC_BLOWFISH_CONTEXT_SIZE);
            ASSERT_NE(CMiscCommonAccess::_pBlowfishContext(misc), nullptr);
            memcpy(CMiscCommonAccess::_pBlowfishContext(misc), &key, sizeof key);
            CMiscCommonAccess::_dwSessionId(misc) = kSessionId;
        }
        TakeTrace();
    }
    // One exchange of the manufacture-date request answered with the row's
    // reply, on a freshly opened device.
    void ExpectReply(bool secure, const ReplyRow &row) {
        misc.CloseDriver();
        Open(secure);
        Responder driver(&key);
        driver.secure = secure;
        driver.reply = row.reply;
        uint8_t input[10] = {0x42, 2, 10, 0, 14, 0, 0, 0, 0, 0};
        uint8_t output[kOut];
        memset(output, kUntouched, sizeof output);
        CMiscCommonAccess::_dwNextMessageId(misc) = 5;
        DWORD returned = 77;
        SetLastError(kSentinel);
        EXPECT_EQ(misc.EncapsuledDeviceIoControl(input, sizeof input,
                                                 row.outSize ? output : nullptr, row.outSize,
                                                 &returned),
                  row.result);
        EXPECT_EQ(GetLastError(), row.lastError);
        EXPECT_EQ(returned, row.returned);
        EXPECT_EQ(ErrorText(misc), row.text ? row.text : "stale");
        EXPECT_EQ(CMiscCommonAccess::_dwNextMessageId(misc), row.advances ? 6u : 5u);
        for (DWORD i = 0; i < sizeof output; i++) {
            const uint8_t expected = i < row.returned ? (uint8_t)(0xA0 + i) : kUntouched;
            ASSERT_EQ(output[i], expected) << "byte " << i;
        }
        ExpectReleased(TakeTrace());
    }
    BlowfishContext key;
};

TEST_F(CapsuleTest, CapsuleSizeFollowsThePayload) {
    const struct {
        DWORD payload, capsule;
    } rows[] = {{0, 16}, {1, 24}, {5, 24}, {8, 24}, {9, 32}, {16, 32}, {17, 40}};
    uint8_t source[17];
    for (size_t i = 0; i < sizeof source; i++) source[i] = (uint8_t)(0x41 + i);
    for (const auto &row : rows) {
        SCOPED_TRACE("payload " + std::to_string(row.payload));
        BYTE *capsule = CMiscCommonAccess::_InitializeMessageCapsule(misc, source, row.payload);
        ASSERT_NE(capsule, nullptr);
        Trace allocs = Events(TakeTrace(), "heap_alloc");
        ASSERT_EQ(allocs.size(), 1u);
        EXPECT_EQ(allocs[0]["size"], row.capsule);
        EXPECT_EQ(ReadLe32(capsule), row.payload);
        EXPECT_EQ(ReadLe32(capsule + 4), row.capsule);
        EXPECT_EQ(ReadLe32(capsule + 8), 0u);
        EXPECT_EQ(Hex(capsule + 12, row.payload), Hex(source, row.payload));
        for (DWORD i = 12 + row.payload; i < row.capsule; i++) ASSERT_EQ(capsule[i], 0) << i;
        HeapFree(GetProcessHeap(), 0, capsule);
    }
}

TEST_F(CapsuleTest, CapsuleThatCannotBeMadeIsNull) {
    // A size that would wrap the capsule size around.
    EXPECT_EQ(CMiscCommonAccess::_InitializeMessageCapsule(misc, nullptr, 0xFFFFFFF8), nullptr);
    EXPECT_EQ(ErrorText(misc),
              "MiscCommon::CMiscCommon::_InitializeMessageCapsule: HeapAlloc failed.");
    SetErrorText(misc, L"stale");
    hosted::SetFailingAllocation(1);
    EXPECT_EQ(CMiscCommonAccess::_InitializeMessageCapsule(misc, nullptr, 8), nullptr);
    EXPECT_EQ(ErrorText(misc),
              "MiscCommon::CMiscCommon::_InitializeMessageCapsule: HeapAlloc failed.");
}

TEST_F(CapsuleTest, EncryptMatchesThePublishedVectorBlockByBlock) {
    // Key 0000000000000000, plaintext 0000000000000000 -> 4EF997456198DD78;
    // each half little-endian in the capsule.
    BlowfishContext zero;
    const uint8_t zeroKey[8] = {0};
    ASSERT_TRUE(BlowfishInitialize(&zero, zeroKey, sizeof zeroKey));
    CMiscCommonAccess::_pBlowfishContext(misc) = (BYTE *)&zero;
    uint8_t capsule[32] = {0};
    WriteLe32(capsule, 16);
    WriteLe32(capsule + 4, 32);
    WriteLe32(capsule + 8, kSessionId);
    EXPECT_EQ(CMiscCommonAccess::_Encrypt(misc, capsule), MISC_RESULT_SUCCESS);
    EXPECT_EQ(Hex(capsule, 12),
              "10000000"
              "20000000" +
                  Le32Hex(kSessionId));
    EXPECT_EQ(Hex(capsule + 12, 16),
              "4597f94e78dd9861"
              "4597f94e78dd9861");
    EXPECT_EQ(Hex(capsule + 28, 4), "00000000");
    EXPECT_EQ(CMiscCommonAccess::_Decrypt(misc, capsule), MISC_RESULT_SUCCESS);
    EXPECT_EQ(Hex(capsule + 12, 20), std::string(40, '0'));
    CMiscCommonAccess::_pBlowfishContext(misc) = nullptr;
}

TEST_F(CapsuleTest, CapsuleOfUpTo23BytesHasNoBlock) {
    CMiscCommonAccess::_pBlowfishContext(misc) = (BYTE *)&key;
    for (uint32_t size = 16; size < 24; size++) {
        SCOPED_TRACE(size);
        uint8_t capsule[32];
        for (size_t i = 0; i < sizeof capsule; i++) capsule[i] = (uint8_t)i;
        WriteLe32(capsule + 4, size);
        Bytes before(capsule, capsule + sizeof capsule);
        EXPECT_EQ(CMiscCommonAccess::_Encrypt(misc, capsule), MISC_RESULT_SUCCESS);
        EXPECT_EQ(Bytes(capsule, capsule + sizeof capsule), before);
        EXPECT_EQ(CMiscCommonAccess::_Decrypt(misc, capsule), MISC_RESULT_SUCCESS);
        EXPECT_EQ(Bytes(capsule, capsule + sizeof capsule), before);
    }
    CMiscCommonAccess::_pBlowfishContext(misc) = nullptr;
}

TEST_F(CapsuleTest, CipherStepsCheckTheirInputs) {
    uint8_t capsule[24] = {0};
    WriteLe32(capsule + 4, 24);
    EXPECT_EQ(CMiscCommonAccess::_Encrypt(misc, capsule), MISC_RESULT_NOT_INITIALIZED);
    EXPECT_EQ(ErrorText(misc),
              "MiscCommon::CMiscCommon::_Encrypt: BlowFish Context is not initialized.");
    EXPECT_EQ(CMiscCommonAccess::_Decrypt(misc, capsule), MISC_RESULT_NOT_INITIALIZED);
    EXPECT_EQ(ErrorText(misc),
              "MiscCommon::CMiscCommon::_Decrypt: BlowFish Context is not initialized.");
    EXPECT_EQ(CMiscCommonAccess::_Encrypt(misc, nullptr), MISC_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(ErrorText(misc), "MiscCommon::CMiscCommon::_Encrypt: capsule is NULL");
    EXPECT_EQ(CMiscCommonAccess::_Decrypt(misc, nullptr), MISC_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(ErrorText(misc), "MiscCommon::CMiscCommon::_Decrypt: capsule is NULL");
}

TEST_F(CapsuleTest, ClosedGateTouchesNothing) {
    Open(false, MachineWith(R"("driver_version": "1.0.7.0")"));
    Responder driver(&key);
    uint8_t buffer[kOut];
    DWORD returned = 77;
    const uint64_t allocations = hosted::AllocationCount();
    SetLastError(kSentinel);
    EXPECT_FALSE(misc.EncapsuledDeviceIoControl(buffer, 10, buffer, kOut, &returned));
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(returned, 77u);
    EXPECT_EQ(ErrorText(misc), "stale");
    EXPECT_EQ(hosted::AllocationCount(), allocations);
    EXPECT_TRUE(driver.requests.empty());
}

TEST_F(CapsuleTest, RefusedCallsAllocateNothing) {
    Open(false);
    Responder driver(&key);
    uint8_t buffer[kOut];
    DWORD returned = 77;
    const struct {
        const char *name;
        LPVOID in;
        DWORD inSize;
        LPVOID out;
        DWORD outSize;
        DWORD *returned;
    } rows[] = {
        {"no input, size 5", nullptr, 5, buffer, kOut, &returned},
        {"no output, size 5", buffer, 10, nullptr, 5, &returned},
        {"input of size 0", buffer, 0, buffer, kOut, &returned},
        {"output of size 0", buffer, 10, buffer, 0, &returned},
        {"no count", buffer, 10, buffer, kOut, nullptr},
        // Input whose record would pass the 256 MiB cap, and input whose
        // record size would wrap around.
        {"input of 0x0FFFFFE9 bytes", buffer, 0x0FFFFFE9, buffer, kOut, &returned},
        {"input of 0xFFFFFFE8 bytes", buffer, 0xFFFFFFE8, buffer, kOut, &returned},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        SetErrorText(misc, L"stale");
        returned = 77;
        const uint64_t allocations = hosted::AllocationCount();
        // A call that went on would fail its first allocation rather than
        // read past the buffer.
        hosted::SetFailingAllocation(1);
        SetLastError(kSentinel);
        EXPECT_FALSE(
            misc.EncapsuledDeviceIoControl(row.in, row.inSize, row.out, row.outSize, row.returned));
        hosted::SetFailingAllocation(0);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
        EXPECT_EQ(ErrorText(misc),
                  "MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Invalid Argument(s).");
        EXPECT_EQ(hosted::AllocationCount(), allocations);
        EXPECT_EQ(returned, 77u);
    }
    {
        SCOPED_TRACE("secure mode without a session");
        CMiscCommonAccess::_bSecureSession(misc) = 1;
        const uint64_t allocations = hosted::AllocationCount();
        SetLastError(kSentinel);
        EXPECT_FALSE(misc.EncapsuledDeviceIoControl(buffer, 10, buffer, kOut, &returned));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        EXPECT_EQ(ErrorText(misc),
                  "MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: Session Not Initialized.");
        EXPECT_EQ(hosted::AllocationCount(), allocations);
        EXPECT_EQ(returned, 77u);
    }
    EXPECT_TRUE(driver.requests.empty());
}

// The request record for k input bytes 0x10, 0x11, ...
Bytes Record(uint32_t messageId, uint32_t k, uint32_t outSize) {
    Bytes record(k + 24, 0);
    WriteLe32(&record[0], messageId);
    WriteLe32(&record[4], k + 24);
    WriteLe32(&record[8], IOCTL_MISC_FUNCTION);
    WriteLe32(&record[12], k);
    WriteLe32(&record[16], outSize);
    for (uint32_t i = 0; i < k; i++) record[20 + i] = (uint8_t)(0x10 + i);
    return record;
}

TEST_F(CapsuleTest, RequestCapsuleCarriesTheRecord) {
    for (bool secure : {false, true}) {
        for (uint32_t k : {0u, 5u, 10u}) {
            SCOPED_TRACE(std::string(secure ? "secure" : "clear") + ", input " + std::to_string(k));
            misc.CloseDriver();
            Open(secure);
            Responder driver(&key);
            driver.reply.dataSize = 0;
            uint8_t input[16];
            for (uint32_t i = 0; i < sizeof input; i++) input[i] = (uint8_t)(0x10 + i);
            uint8_t output[kOut];
            CMiscCommonAccess::_dwNextMessageId(misc) = 0xFFFFFFFF;
            DWORD returned = 77;
            EXPECT_TRUE(
                misc.EncapsuledDeviceIoControl(k ? input : nullptr, k, output, kOut, &returned));
            EXPECT_EQ(returned, 0u);
            EXPECT_EQ(CMiscCommonAccess::_dwNextMessageId(misc), 0u);  // wraps
            ASSERT_EQ(driver.requests.size(), 1u);
            Bytes capsule = driver.requests[0];
            const Bytes record = Record(0xFFFFFFFF, k, kOut);
            ASSERT_EQ(capsule.size(), CapsuleSize(k + 24));
            EXPECT_EQ(ReadLe32(&capsule[0]), k + 24);
            EXPECT_EQ(ReadLe32(&capsule[4]), capsule.size());
            EXPECT_EQ(ReadLe32(&capsule[8]), secure ? kSessionId : 0u);
            EXPECT_EQ(Hex(&capsule[capsule.size() - 4], 4), "00000000");
            if (secure) {
                EXPECT_NE(Hex(&capsule[12], record.size()), Hex(record));
                Cipher(&key, &capsule[12], capsule.size() - 16, false);
            }
            Bytes padded = record;
            padded.resize(capsule.size() - 16, 0);
            EXPECT_EQ(Hex(&capsule[12], padded.size()), Hex(padded));
            ExpectReleased(TakeTrace());
        }
    }
}

TEST_F(CapsuleTest, ReplyCapsulesAsTheyCome) {
    const char *invalid = kInvalidStructure;
    auto make = [](uint32_t dataSize, int64_t capsuleSize = -1, int64_t bytes = -1) {
        Reply r;
        r.dataSize = dataSize;
        r.capsuleSize = capsuleSize;
        r.bytes = bytes;
        return r;
    };
    Reply failedNoBytes = make(kOut, -1, 0);
    failedNoBytes.result = false;
    failedNoBytes.lastError = ERROR_GEN_FAILURE;
    Reply failedWithData = make(kOut);
    failedWithData.result = false;
    failedWithData.lastError = ERROR_MORE_DATA;
    const std::string s11 = std::string(invalid) + "11", s0 = std::string(invalid) + "0",
                      s32 = std::string(invalid) + "32", s20 = std::string(invalid) + "20",
                      s16 = std::string(invalid) + "16";
    const ReplyRow rows[] = {
        {"no data", make(0), kOut, TRUE, kSentinel, 0, nullptr, true},
        {"as much data as the buffer holds", make(kOut), kOut, TRUE, kSentinel, kOut, nullptr,
         true},
        {"less data than the buffer holds", make(3), kOut, TRUE, kSentinel, 3, nullptr, true},
        {"one byte more than the buffer", make(kOut + 1), kOut, FALSE, ERROR_MORE_DATA, kOut,
         nullptr, true},
        {"a data size of 0xFFFFFFFF", make(0xFFFFFFFF, 32, 32), kOut, FALSE, ERROR_MORE_DATA, kOut,
         nullptr, true},
        {"no room, no data", make(0), 0, TRUE, kSentinel, 0, nullptr, true},
        {"no room, one byte of data", make(1, 16, 16), 0, FALSE, ERROR_MORE_DATA, 0, nullptr, true},
        {"11 bytes", make(kOut, -1, 11), kOut, FALSE, kSentinel, 0, s11.c_str(), true},
        {"failed with no bytes", failedNoBytes, kOut, FALSE, ERROR_GEN_FAILURE, 0, s0.c_str(),
         false},
        {"failed with data", failedWithData, kOut, FALSE, ERROR_MORE_DATA, kOut, nullptr, true},
        {"capsule size 8", make(kOut, 8), kOut, FALSE, kSentinel, 0, s32.c_str(), true},
        {"capsule size 15", make(kOut, 15), kOut, FALSE, kSentinel, 0, s32.c_str(), true},
        {"capsule size above the buffer", make(kOut, 40), kOut, FALSE, kSentinel, 0, s32.c_str(),
         true},
        {"capsule size 0xFFFFFFFF", make(kOut, 0xFFFFFFFF), kOut, FALSE, kSentinel, 0, s32.c_str(),
         true},
        {"data cut short", make(kOut, -1, 20), kOut, FALSE, kSentinel, 0, s20.c_str(), true},
        {"capsule cut to its header", make(kOut, -1, 16), kOut, FALSE, kSentinel, 0, s16.c_str(),
         true},
    };
    for (bool secure : {false, true}) {
        for (const ReplyRow &row : rows) {
            SCOPED_TRACE(std::string(secure ? "secure: " : "clear: ") + row.name);
            ExpectReply(secure, row);
        }
    }
}

// A session reply is deciphered block by block over its dwCapsuleSize: the
// whole enciphered area must have come back, and the data must lie within
// it. In clear the same replies deliver their data.
TEST_F(CapsuleTest, SessionReplyHoldsItsWholeEncipheredArea) {
    auto make = [](uint32_t dataSize, int64_t capsuleSize, int64_t bytes) {
        Reply r;
        r.dataSize = dataSize;
        r.capsuleSize = capsuleSize;
        r.bytes = bytes;
        return r;
    };
    const std::string s26 = std::string(kInvalidStructure) + "26",
                      s27 = std::string(kInvalidStructure) + "27",
                      s32 = std::string(kInvalidStructure) + "32";
    // The 32-byte capsule of 14 data bytes has its area at offsets 12 to 27.
    const ReplyRow rows[] = {
        {"area cut to 26 bytes", make(kOut, 32, 26), kOut, FALSE, kSentinel, 0, s26.c_str(), true},
        {"area cut to 27 bytes", make(kOut, 32, 27), kOut, FALSE, kSentinel, 0, s27.c_str(), true},
        {"area whole, closing zeros missing", make(kOut, 32, 28), kOut, TRUE, kSentinel, kOut,
         nullptr, true},
        {"9 data bytes in a 24-byte capsule", make(9, 24, 32), kOut, FALSE, kSentinel, 0,
         s32.c_str(), true},
        {"8 data bytes in a 24-byte capsule", make(8, 24, 32), kOut, TRUE, kSentinel, 8, nullptr,
         true},
    };
    for (const ReplyRow &row : rows) {
        {
            SCOPED_TRACE(std::string("secure: ") + row.name);
            ExpectReply(true, row);
        }
        SCOPED_TRACE(std::string("clear: ") + row.name);
        ReplyRow clear = row;
        clear.result = TRUE;
        clear.returned = row.reply.dataSize;
        clear.text = nullptr;
        ExpectReply(false, clear);
    }
}

TEST_F(CapsuleTest, EachAllocationCanFail) {
    const struct {
        DWORD lastError;
        const char *text;
    } expected[] = {
        {ERROR_NOT_ENOUGH_MEMORY,
         "MiscCommon::CMiscCommon::EncapsuledDeviceIoControl: HeapAlloc failed."},
        {ERROR_NOT_ENOUGH_MEMORY,
         "MiscCommon::CMiscCommon::_InitializeMessageCapsule: HeapAlloc failed."},
        // The reply capsule: the value after the failed HeapAlloc, which sets none.
        {kSentinel, "MiscCommon::CMiscCommon::_InitializeMessageCapsule: HeapAlloc failed."},
    };
    Open(true);
    Responder driver(&key);
    driver.reply.dataSize = kOut;
    for (uint64_t n = 1; n <= 4; n++) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        SetErrorText(misc, L"stale");
        uint8_t input[10] = {0x42, 2, 10, 0, 14, 0, 0, 0, 0, 0};
        uint8_t output[kOut];
        DWORD returned = 77;
        hosted::SetFailingAllocation(n);
        SetLastError(kSentinel);
        const BOOL result =
            misc.EncapsuledDeviceIoControl(input, sizeof input, output, kOut, &returned);
        const DWORD error = GetLastError();
        hosted::SetFailingAllocation(0);
        Trace trace = TakeTrace();
        ExpectReleased(trace);
        if (n == 4) {
            EXPECT_TRUE(result);  // three allocations in all
            EXPECT_TRUE(Events(trace, "heap_alloc_failed").empty());
            break;
        }
        EXPECT_FALSE(result);
        EXPECT_EQ(error, expected[n - 1].lastError);
        EXPECT_EQ(ErrorText(misc), expected[n - 1].text);
        EXPECT_EQ(returned, 0u);
    }
    EXPECT_EQ(driver.requests.size(), 1u);
}

}  // namespace
}  // namespace unit
