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
#include "sha1.h"
#include "wipe.h"

namespace MiscCommon {

namespace {

constexpr DWORD kWords = 33;  // a 1024-bit value: 33 little-endian words
constexpr DWORD kNumberBytes = kWords * sizeof(uint32_t);
constexpr DWORD kExponentWords = 4;
constexpr DWORD kRandomExponentWords = 3;
constexpr DWORD kNonceWords = 5;
constexpr DWORD kSessionKeyWords = 4;
constexpr DWORD kKeySize = 16;
constexpr DWORD kMacSize = SHA1_DIGEST_SIZE;
constexpr int kSelfTestTries = 16;

constexpr DWORD kPhase1Size = 160;
constexpr DWORD kPhase1Public = 4;
constexpr DWORD kPhase1NonceField = 136;  // nonce and four zero bytes; 24 bytes in the reply
constexpr DWORD kNonceFieldSize = 24;
constexpr DWORD kPhase2RequestSize = 28;
constexpr DWORD kPhase2ReplySize = kMacSize;
constexpr DWORD kPhase3RequestSize = 24;
constexpr DWORD kPhase3ReplySize = 8;
constexpr DWORD kTagSize = 4;
constexpr DWORD kSessionIdOffset = 4;
constexpr DWORD kProofOffset = 8;
constexpr DWORD kKeyBlocksOffset = 8;
constexpr DWORD kWorkSize = 2 * kNumberBytes;  // 264 bytes: two public values

constexpr uint32_t kConfirmLeft = 0x68747541;   // "Auth"
constexpr uint32_t kConfirmRight = 0x6373694d;  // "Misc"

static_assert(sizeof(BlowfishContext) == MISC_BLOWFISH_CONTEXT_SIZE, "key schedule size");

// The 1024-bit MODP prime of RFC 2409 (Second Oakley Group), least
// significant word first, with a zero top word.
const uint32_t kPrime[kWords] = {
    0xFFFFFFFF, 0xFFFFFFFF, 0xECE65381, 0x49286651, 0x7C4B1FE6, 0xAE9F2411, 0x5A899FA5,
    0xEE386BFB, 0xF406B7ED, 0x0BFF5CB6, 0xA637ED6B, 0xF44C42E9, 0x625E7EC6, 0xE485B576,
    0x6D51C245, 0x4FE1356D, 0xF25F1437, 0x302B0A6D, 0xCD3A431B, 0xEF9519B3, 0x8E3404DD,
    0x514A0879, 0x3B139B22, 0x020BBEA6, 0x8A67CC74, 0x29024E08, 0x80DC1CD1, 0xC4C6628B,
    0x2168C234, 0xC90FDAA2, 0xFFFFFFFF, 0xFFFFFFFF, 0x00000000};

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
    BYTE phase3[kPhase3RequestSize] = {};

    HandshakeSecrets() = default;
    ~HandshakeSecrets() { secure_wipe(this, sizeof *this); }
    HandshakeSecrets(const HandshakeSecrets &) = delete;
    HandshakeSecrets &operator=(const HandshakeSecrets &) = delete;
};

void WriteWords(BYTE *out, const uint32_t *words, DWORD count) {
    for (SIZE_T i = 0; i < count; i++) WriteLe32(out + 4 * i, words[i]);
}

}  // namespace

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
    HANDLE heap = GetProcessHeap();

    // Phase 1: the client's public value and nonce.
    BYTE request1[kPhase1Size], reply1[kPhase1Size];
    memset(request1, 0, sizeof request1);
    memset(reply1, 0, sizeof reply1);
    for (DWORD i = 0; i < kRandomExponentWords; i++) s.exponent[i] = hdrand_next();
    for (SIZE_T i = 0; i < kNonceWords; i++)
        WriteLe32(request1 + kPhase1NonceField + 4 * i, hdrand_next());
    uint32_t clientPublic[kWords];
    memset(clientPublic, 0, sizeof clientPublic);
    if (!pow2mod(clientPublic, kWords, s.exponent, kExponentWords, kPrime, kWords)) {
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: pow2mod failed.");
        return MISC_RESULT_FAILED;
    }
    WriteWords(request1 + kPhase1Public, clientPublic, kWords);
    memcpy(request1, "Ini1", kTagSize);
    returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_SESSION, request1, sizeof request1, reply1,
                         sizeof reply1, &returned, nullptr) ||
        returned != kPhase1Size) {
        DWORD error = GetLastError();
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl failed.");
        SetLastError(error);
        return MISC_RESULT_FAILED;
    }
    const DWORD sessionId = ReadLe32(reply1);
    const BYTE *clientBytes = request1 + kPhase1Public;
    const BYTE *driverBytes = reply1 + kPhase1Public;

    // The link key and both proofs, in a work buffer of two public values.
    BYTE *work = (BYTE *)HeapAlloc(heap, HEAP_ZERO_MEMORY, kWorkSize);
    if (!work) {
        DWORD error = GetLastError();
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: HeapAlloc (phase2) failed.");
        _SendSessionClose(sessionId);
        SetLastError(error);
        return MISC_RESULT_INSUFFICIENT_BUFFER;
    }
    for (SIZE_T i = 0; i < kKeyBlockWords; i++) WriteLe32(s.keyBlock + 4 * i, kKeyBlock[i]);
    memcpy(work, request1 + kPhase1NonceField, kNonceFieldSize);
    memcpy(work + kNonceFieldSize, reply1 + kPhase1NonceField, kNonceFieldSize);
    hmac_sha1(&s.sha, s.keyBlock + kKeyOffset, kKeySize, work, 2 * kNonceFieldSize, s.linkKey);

    BYTE request2[kPhase2RequestSize], reply2[kPhase2ReplySize];
    memset(request2, 0, sizeof request2);
    memset(reply2, 0, sizeof reply2);
    memset(work, 0, kWorkSize);
    memcpy(work, driverBytes, kNumberBytes);
    memcpy(work + kNumberBytes, clientBytes, kNumberBytes);
    hmac_sha1(&s.sha, s.linkKey, kMacSize, work, kWorkSize, s.expectedProof);
    memset(work, 0, kWorkSize);
    memcpy(work, clientBytes, kNumberBytes);
    memcpy(work + kNumberBytes, driverBytes, kNumberBytes);
    hmac_sha1(&s.sha, s.linkKey, kMacSize, work, kWorkSize, request2 + kProofOffset);
    HeapFreeWiped(heap, work, kWorkSize);

    // Phase 2: exchange the proofs.
    memcpy(request2, "Ini2", kTagSize);
    WriteLe32(request2 + kSessionIdOffset, sessionId);
    returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_SESSION, request2, sizeof request2, reply2,
                         sizeof reply2, &returned, nullptr) ||
        returned != kPhase2ReplySize) {
        DWORD error = GetLastError();
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase2) failed.");
        _SendSessionClose(sessionId);
        SetLastError(error);
        return MISC_RESULT_FAILED;
    }
    for (DWORD i = 0; i < kMacSize; i++) {
        if (reply2[i] != s.expectedProof[i]) {
            _SetError(L"MiscCommon::CMiscCommon::_Initialize: Driver Authentication Failed.");
            _SendSessionClose(sessionId);
            return MISC_RESULT_DEVICE_UNAVAILABLE;
        }
    }

    // The shared secret and the key-encryption key.
    for (SIZE_T i = 0; i < kWords; i++) s.peer[i] = ReadLe32(driverBytes + 4 * i);
    if (!powmod(s.shared, kWords, s.peer, kWords, s.exponent, kExponentWords, kPrime, kWords)) {
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: Key Encryption Key calculation failed.");
        _SendSessionClose(sessionId);
        return MISC_RESULT_DEVICE_UNAVAILABLE;
    }
    WriteWords(s.sharedBytes, s.shared, kWords);
    sha1_init(&s.sha);
    sha1_update(&s.sha, s.sharedBytes, kNumberBytes);
    sha1_final(&s.sha);
    sha1_result(&s.sha, s.keyEncryptionKey);

    BYTE *context = (BYTE *)HeapAlloc(heap, HEAP_ZERO_MEMORY, MISC_BLOWFISH_CONTEXT_SIZE);
    if (!context) {
        DWORD error = GetLastError();
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: HeapAlloc (phase3) failed.");
        _SendSessionClose(sessionId);
        SetLastError(error);
        return MISC_RESULT_INSUFFICIENT_BUFFER;
    }
    BlowfishContext *cipher = (BlowfishContext *)context;
    if (!BlowfishInitialize(cipher, s.keyEncryptionKey, kKeySize)) {
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: BlowfishInitialize (1st time) failed.");
        _SendSessionClose(sessionId);
        HeapFreeWiped(heap, context, MISC_BLOWFISH_CONTEXT_SIZE);
        return MISC_RESULT_FAILED;
    }

    // Phase 3: the session key, enciphered block by block.
    uint32_t key[kSessionKeyWords];
    for (DWORD i = 0; i < kSessionKeyWords; i++) key[i] = hdrand_next();
    WriteWords(s.sessionKey, key, kSessionKeyWords);
    secure_wipe(key, sizeof key);
    BYTE *request3 = s.phase3;
    memcpy(request3 + kKeyBlocksOffset, s.sessionKey, kKeySize);
    bool enciphered = true;
    for (SIZE_T block = 0; block < 2 && enciphered; block++) {
        BYTE *p = request3 + kKeyBlocksOffset + 8 * block;
        uint32_t left = ReadLe32(p), right = ReadLe32(p + 4);
        enciphered = BlowfishEncipher(cipher, &left, &right);
        if (enciphered) {
            WriteLe32(p, left);
            WriteLe32(p + 4, right);
        }
    }
    secure_wipe(context, MISC_BLOWFISH_CONTEXT_SIZE);
    if (!enciphered) {
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: BlowfishEncipher failed.");
        _SendSessionClose(sessionId);
        HeapFree(heap, 0, context);
        return MISC_RESULT_FAILED;
    }
    memcpy(request3, "Ini3", kTagSize);
    WriteLe32(request3 + kSessionIdOffset, sessionId);
    BYTE reply3[kPhase3ReplySize];
    memset(reply3, 0, sizeof reply3);
    returned = 0;
    if (!DeviceIoControl(_hDevice, IOCTL_MISC_SESSION, request3, kPhase3RequestSize, reply3,
                         sizeof reply3, &returned, nullptr) ||
        returned != kPhase3ReplySize) {
        DWORD error = GetLastError();
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: DeviceIoControl (phase3) failed.");
        _SendSessionClose(sessionId);
        HeapFree(heap, 0, context);
        SetLastError(error);
        return MISC_RESULT_FAILED;
    }

    if (!BlowfishInitialize(cipher, s.sessionKey, kKeySize)) {
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: BlowfishInitialize (2nd time) failed.");
        _SendSessionClose(sessionId);
        HeapFreeWiped(heap, context, MISC_BLOWFISH_CONTEXT_SIZE);
        return MISC_RESULT_FAILED;
    }
    uint32_t left = ReadLe32(reply3), right = ReadLe32(reply3 + 4);
    if (!BlowfishDecipher(cipher, &left, &right) || left != kConfirmLeft || right != kConfirmRight) {
        _SetError(L"MiscCommon::CMiscCommon::_Initialize: BlowfishDecipher failed.");
        _SendSessionClose(sessionId);
        HeapFreeWiped(heap, context, MISC_BLOWFISH_CONTEXT_SIZE);
        return MISC_RESULT_FAILED;
    }

    _dwSessionId = sessionId;
    _pBlowfishContext = context;
    _dwNextMessageId = 0;
    return MISC_RESULT_SUCCESS;
}

}  // namespace MiscCommon
