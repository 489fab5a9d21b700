// CMiscCommon::_Initialize: the secure session with the misc driver.
//
// A probe first: a driver that answers ERROR_NOT_SUPPORTED takes capsules
// in clear. Otherwise both sides prove that they hold the pre-shared key,
// bound to a Diffie-Hellman exchange in the 1024-bit MODP group with
// generator 2; the utility sends a random session key enciphered under a
// key-encryption key derived from the shared secret, and the driver
// confirms with "Auth" "Misc" enciphered under the session key.
#include "misc_common.h"

#include "bignum.h"
#include "blowfish.h"
#include "hdrand.h"
#include "scope_guards.h"
#include "sha1.h"
#include "wipe.h"

namespace MiscCommon {

namespace {

constexpr DWORD kWords = MISC_NUMBER_WORDS;
constexpr DWORD kNumberBytes = MISC_NUMBER_BYTES;
constexpr DWORD kExponentWords = 4;
constexpr DWORD kRandomExponentWords = 3;
constexpr DWORD kNonceWords = MISC_NONCE_SIZE / 4;
constexpr DWORD kSessionKeyWords = MISC_SESSION_KEY_SIZE / 4;
constexpr DWORD kKeySize = MISC_SESSION_KEY_SIZE;
constexpr DWORD kMacSize = SHA1_DIGEST_SIZE;
constexpr int kSelfTestTries = 16;
constexpr DWORD kWorkSize = 2 * kNumberBytes;  // 264 bytes: two public values

static_assert(kMacSize == MISC_PROOF_SIZE && kMacSize == MISC_PHASE2_REPLY_SIZE, "proof size");
static_assert(sizeof(BlowfishContext) == MISC_BLOWFISH_CONTEXT_SIZE, "key schedule size");

// The pre-shared key is never stored as such: it is the 16 bytes at an
// odd offset of a block of constant words put together at run time.
constexpr DWORD kKeyBlockWords = 32;
constexpr DWORD kKeyOffset = 45;
const uint32_t kKeyBlock[kKeyBlockWords] = {
    0xD5044876, 0x8DD08EAE, 0x4D00F4A0, 0x7BF221DE, 0x78799EFE, 0x3F81B2E4, 0xAFED5962,
    0x25B0E463, 0x6A9DB269, 0x4F304831, 0x48F33781, 0x1BDF953A, 0xCD146C62, 0x5C9C461E,
    0x8B0AF4FE, 0xB7BC09F8, 0x214C5315, 0xA22835B4, 0xF1E2EDB0, 0xA9A73DA4, 0xB7DB8E08,
    0xB28742E8, 0x2A56E380, 0x7301FDA5, 0x8BFDF719, 0xC58BA462, 0x9377A4B5, 0x0EF2AB4E,
    0x80E40849, 0x8E469713, 0xD82C965E, 0xFA793FA2};
static_assert(kKeyOffset % 4 != 0 && kKeyOffset + kKeySize <= kKeyBlockWords * 4, "key offset");

}  // namespace

// Everything secret of one handshake, wiped on every way out.
struct HandshakeSecrets {
    BYTE keyBlock[kKeyBlockWords * 4] = {};
    uint32_t exponent[kExponentWords] = {};
    uint32_t peer[kWords] = {};
    uint32_t shared[kWords] = {};
    BYTE sharedBytes[kNumberBytes] = {};
    BYTE linkKey[kMacSize] = {};
    BYTE expectedProof[kMacSize] = {};
    BYTE keyEncryptionKey[SHA1_DIGEST_SIZE] = {};
    BYTE sessionKey[kKeySize] = {};
    sha1_context sha = {};
    BYTE phase3[MISC_PHASE3_REQUEST_SIZE] = {};

    HandshakeSecrets() = default;
    ~HandshakeSecrets() { secure_wipe(this, sizeof *this); }
    HandshakeSecrets(const HandshakeSecrets &) = delete;
    HandshakeSecrets &operator=(const HandshakeSecrets &) = delete;
};

DWORD CMiscCommon::_Initialize() {
    if (!IsDriverVersionSupported()) return MISC_RESULT_UNSUPPORTED_VERSION;

    // The probe. Its result does not matter, only the last error; a value
    // left by an earlier call must not count as the driver's answer.
    DWORD returned = 0;
    SetLastError(ERROR_SUCCESS);
    DeviceIoControl(_hDevice, IOCTL_MISC_SESSION, nullptr, 0, nullptr, 0, &returned, nullptr);
    if (GetLastError() == ERROR_NOT_SUPPORTED) {
        _bSecureSession = 0;
        return MISC_RESULT_SUCCESS;
    }

    if (!hdrand_init()) {
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: hdrand_init failed");
        return MISC_RESULT_FAILED;
    }
    bool passed = false;
    for (int i = 0; i < kSelfTestTries && !passed; i++) passed = hdrand_test() != -1;
    if (!passed) {
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: hdrand_test failed 16 times");
        return MISC_RESULT_FAILED;
    }

    HandshakeSecrets s;

    // Phase 1: the client's public value and nonce.
    BYTE request1[MISC_PHASE1_SIZE], reply1[MISC_PHASE1_SIZE];
    memset(request1, 0, sizeof request1);
    memset(reply1, 0, sizeof reply1);
    for (DWORD i = 0; i < kRandomExponentWords; i++) s.exponent[i] = hdrand_next();
    for (SIZE_T i = 0; i < kNonceWords; i++)
        WriteLe32(request1 + MISC_PHASE1_NONCE_FIELD + 4 * i, hdrand_next());
    uint32_t clientPublic[kWords];
    memset(clientPublic, 0, sizeof clientPublic);
    if (!pow2mod(clientPublic, kWords, s.exponent, kExponentWords, MISC_SESSION_PRIME, kWords))
        return _Fail(MISC_RESULT_FAILED, L"MiscCommon::CMiscCommon::_Initialize: pow2mod failed.");
    WriteLe32Words(request1 + MISC_PHASE1_PUBLIC, clientPublic, kWords);
    memcpy(request1, MISC_SESSION_TAG_PHASE1, MISC_SESSION_TAG_SIZE);
    returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_SESSION, request1, sizeof request1, reply1,
                         sizeof reply1, &returned, nullptr) ||
        returned != MISC_PHASE1_SIZE)
        return _Fail(MISC_RESULT_FAILED,
                     L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl failed.");
    const DWORD sessionId = ReadLe32(reply1);

    // The driver now holds a half-open session: whatever fails from here
    // on, it is told to drop it.
    CHeapBlock context;
    const DWORD result = _Authenticate(s, request1, reply1, sessionId, context);
    if (result != MISC_RESULT_SUCCESS) {
        const DWORD error = GetLastError();
        _SendSessionClose(sessionId);
        SetLastError(error);
        return result;
    }
    _dwSessionId = sessionId;
    _pBlowfishContext = context.Release();
    _dwNextMessageId = 0;
    return MISC_RESULT_SUCCESS;
}

// Phases 2 and 3 of the handshake, after the phase-1 exchange: the
// proofs, the key-encryption key, the session key and the driver's
// confirmation. The session's key schedule is left in context.
DWORD CMiscCommon::_Authenticate(HandshakeSecrets &s, const BYTE *request1, const BYTE *reply1,
                                 DWORD sessionId, CHeapBlock &context) {
    const BYTE *clientBytes = request1 + MISC_PHASE1_PUBLIC;
    const BYTE *driverBytes = reply1 + MISC_PHASE1_PUBLIC;

    // The link key and both proofs, in a work buffer of two public values.
    CHeapBlock workBlock;
    if (!workBlock.Allocate(kWorkSize, HEAP_ZERO_MEMORY))
        return _Fail(MISC_RESULT_INSUFFICIENT_BUFFER,
                     L"MiscCommon::CMiscCommon::_Initialize: HeapAlloc (phase2) failed.");
    BYTE *work = workBlock.Get();
    WriteLe32Words(s.keyBlock, kKeyBlock, kKeyBlockWords);
    memcpy(work, request1 + MISC_PHASE1_NONCE_FIELD, MISC_NONCE_FIELD_SIZE);
    memcpy(work + MISC_NONCE_FIELD_SIZE, reply1 + MISC_PHASE1_NONCE_FIELD, MISC_NONCE_FIELD_SIZE);
    hmac_sha1(&s.sha, s.keyBlock + kKeyOffset, kKeySize, work, 2 * MISC_NONCE_FIELD_SIZE,
              s.linkKey);

    BYTE request2[MISC_PHASE2_REQUEST_SIZE], reply2[MISC_PHASE2_REPLY_SIZE];
    memset(request2, 0, sizeof request2);
    memset(reply2, 0, sizeof reply2);
    memset(work, 0, kWorkSize);
    memcpy(work, driverBytes, kNumberBytes);
    memcpy(work + kNumberBytes, clientBytes, kNumberBytes);
    hmac_sha1(&s.sha, s.linkKey, kMacSize, work, kWorkSize, s.expectedProof);
    memset(work, 0, kWorkSize);
    memcpy(work, clientBytes, kNumberBytes);
    memcpy(work + kNumberBytes, driverBytes, kNumberBytes);
    hmac_sha1(&s.sha, s.linkKey, kMacSize, work, kWorkSize, request2 + MISC_PROOF_OFFSET);
    workBlock.Free();

    // Phase 2: exchange the proofs.
    memcpy(request2, MISC_SESSION_TAG_PHASE2, MISC_SESSION_TAG_SIZE);
    WriteLe32(request2 + MISC_SESSION_ID_OFFSET, sessionId);
    DWORD returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_SESSION, request2, sizeof request2, reply2,
                         sizeof reply2, &returned, nullptr) ||
        returned != MISC_PHASE2_REPLY_SIZE)
        return _Fail(MISC_RESULT_FAILED,
                     L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase2) failed.");
    for (DWORD i = 0; i < kMacSize; i++) {
        if (reply2[i] != s.expectedProof[i])
            return _Fail(MISC_RESULT_DEVICE_UNAVAILABLE,
                         L"MiscCommon::CMiscCommon::_Initialize: Driver Authentication Failed.");
    }

    // The shared secret and the key-encryption key.
    ReadLe32Words(driverBytes, s.peer, kWords);
    if (!powmod(s.shared, kWords, s.peer, kWords, s.exponent, kExponentWords, MISC_SESSION_PRIME,
                kWords))
        return _Fail(MISC_RESULT_DEVICE_UNAVAILABLE,
                     L"MiscCommon::CMiscCommon::_Initialize: Key Encryption "
                     L"Key calculation failed.");
    WriteLe32Words(s.sharedBytes, s.shared, kWords);
    sha1_init(&s.sha);
    sha1_update(&s.sha, s.sharedBytes, kNumberBytes);
    sha1_final(&s.sha);
    sha1_result(&s.sha, s.keyEncryptionKey);

    if (!context.Allocate(MISC_BLOWFISH_CONTEXT_SIZE, HEAP_ZERO_MEMORY))
        return _Fail(MISC_RESULT_INSUFFICIENT_BUFFER,
                     L"MiscCommon::CMiscCommon::_Initialize: HeapAlloc (phase3) failed.");
    BlowfishContext *cipher = (BlowfishContext *)context.Get();
    if (!BlowfishInitialize(cipher, s.keyEncryptionKey, kKeySize))
        return _Fail(MISC_RESULT_FAILED,
                     L"MiscCommon::CMiscCommon::_Initialize: BlowfishInitialize "
                     L"(1st time) failed.");

    // Phase 3: the session key, enciphered block by block.
    uint32_t key[kSessionKeyWords];
    for (DWORD i = 0; i < kSessionKeyWords; i++) key[i] = hdrand_next();
    WriteLe32Words(s.sessionKey, key, kSessionKeyWords);
    secure_wipe(key, sizeof key);
    BYTE *request3 = s.phase3;
    memcpy(request3 + MISC_KEY_BLOCKS_OFFSET, s.sessionKey, kKeySize);
    bool enciphered = true;
    for (SIZE_T block = 0; block < 2 && enciphered; block++) {
        BYTE *p = request3 + MISC_KEY_BLOCKS_OFFSET + 8 * block;
        uint32_t left = ReadLe32(p), right = ReadLe32(p + 4);
        enciphered = BlowfishEncipher(cipher, &left, &right);
        if (enciphered) {
            WriteLe32(p, left);
            WriteLe32(p + 4, right);
        }
    }
    secure_wipe(cipher, MISC_BLOWFISH_CONTEXT_SIZE);
    if (!enciphered)
        return _Fail(MISC_RESULT_FAILED,
                     L"MiscCommon::CMiscCommon::_Initialize: BlowfishEncipher failed.");
    memcpy(request3, MISC_SESSION_TAG_PHASE3, MISC_SESSION_TAG_SIZE);
    WriteLe32(request3 + MISC_SESSION_ID_OFFSET, sessionId);
    BYTE reply3[MISC_PHASE3_REPLY_SIZE];
    memset(reply3, 0, sizeof reply3);
    returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_SESSION, request3, MISC_PHASE3_REQUEST_SIZE, reply3,
                         sizeof reply3, &returned, nullptr) ||
        returned != MISC_PHASE3_REPLY_SIZE)
        return _Fail(MISC_RESULT_FAILED,
                     L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase3) failed.");

    if (!BlowfishInitialize(cipher, s.sessionKey, kKeySize))
        return _Fail(MISC_RESULT_FAILED,
                     L"MiscCommon::CMiscCommon::_Initialize: BlowfishInitialize "
                     L"(2nd time) failed.");
    uint32_t left = ReadLe32(reply3), right = ReadLe32(reply3 + 4);
    if (!BlowfishDecipher(cipher, &left, &right) || left != MISC_CONFIRM_LEFT ||
        right != MISC_CONFIRM_RIGHT)
        return _Fail(MISC_RESULT_FAILED,
                     L"MiscCommon::CMiscCommon::_Initialize: BlowfishDecipher failed.");
    return MISC_RESULT_SUCCESS;
}

}  // namespace MiscCommon
