// The notebook and log byte layouts that pass between the test tooling
// and the kernel-mode test driver.
#include "notebook_wire.h"

namespace sim {
namespace wdm {

namespace {

// Sequential little-endian writes into a buffer of known size; writes past
// its end are dropped. Every field travels as one 32-bit word, byte strings
// as they are.
class CWriter {
public:
    CWriter(uint8_t *out, uint32_t size) : _out(out), _size(size), _at(0) {}
    template <class T>
    void Word(const T &v) {
        const uint32_t w = (uint32_t)v;
        for (uint32_t i = 0; i < kWord; i++) Byte((uint8_t)(w >> (8 * i)));
    }
    void Bytes(const uint8_t *p, uint32_t n) {
        for (uint32_t i = 0; i < n; i++) Byte(p[i]);
    }
    // A count the reader bounds; written as it is.
    void Count(const uint32_t &v, uint32_t) { Word(v); }
    uint32_t Written() const { return _at; }

private:
    void Byte(uint8_t b) {
        if (_at < _size) _out[_at] = b;
        _at++;
    }
    uint8_t *_out;
    uint32_t _size;
    uint32_t _at;
};

// Sequential little-endian reads; reads past the end give zeros and mark
// the reader as failed.
class CReader {
public:
    CReader(const uint8_t *in, uint32_t size) : _in(in), _size(size), _at(0), _ok(true) {}
    uint32_t U32() {
        uint32_t v = 0;
        for (uint32_t i = 0; i < kWord; i++) v |= (uint32_t)Byte() << (8 * i);
        return v;
    }
    template <class T>
    void Word(T &v) {
        v = (T)U32();
    }
    void Word(bool &v) { v = U32() != 0; }
    void Bytes(uint8_t *p, uint32_t n) {
        for (uint32_t i = 0; i < n; i++) p[i] = Byte();
    }
    // A count, bounded by the arrays it counts.
    void Count(uint32_t &v, uint32_t max) {
        v = U32();
        if (v > max) v = max;
    }
    bool Ok() const { return _ok && _at == _size; }

private:
    uint8_t Byte() {
        if (_at >= _size) {
            _ok = false;
            return 0;
        }
        return _in[_at++];
    }
    const uint8_t *_in;
    uint32_t _size;
    uint32_t _at;
    bool _ok;
};

void ZeroBytes(void *p, uint32_t n) {
    uint8_t *b = (uint8_t *)p;
    for (uint32_t i = 0; i < n; i++) b[i] = 0;
}

// The layouts, each written down once: Io is CWriter (over const records)
// or CReader.
template <class Io, class F>
void WalkSwitch(Io &io, F &f) {
    io.Word(f.active);
    io.Word(f.last_error);
}

template <class Io, class S>
void WalkScript(Io &io, S &s) {
    io.Count(s.count, kMaxStatusSteps);
    io.Bytes(s.steps, kMaxStatusSteps);
}

template <class Io, class N>
void WalkNotebook(Io &io, N &n) {
    io.Word(n.sequence);

    auto &m = n.misc;
    io.Count(m.model_record_size, kMaxRawModelRecord);
    io.Bytes(m.model_record, kMaxRawModelRecord);
    WalkSwitch(io, m.fail_model);
    WalkSwitch(io, m.fail_session);
    WalkSwitch(io, m.fail_capsule);
    WalkSwitch(io, m.fail_close);
    io.Word(m.sessions);
    io.Word(m.fixed_exponent);
    for (uint32_t i = 0; i < kExponentWords; i++) io.Word(m.private_exponent[i]);
    io.Word(m.first_session_id);
    io.Word(m.support_code);
    WalkScript(io, m.support_status);
    io.Word(m.slot_word);
    WalkScript(io, m.slot_status);
    io.Count(m.pack_count, kMaxPacks);
    for (uint32_t i = 0; i < kMaxPacks; i++) {
        auto &p = m.packs[i];
        io.Bytes(p.part_number, MISC_PART_NUMBER_SIZE);
        io.Word(p.packed_date);
        WalkScript(io, p.date_status);
        WalkScript(io, p.part_status);
    }
    auto &f = m.faults;
    io.Word(f.probe_override);
    io.Word(f.probe_result);
    io.Word(f.probe_last_error);
    for (uint32_t i = 0; i < 3; i++) WalkSwitch(io, f.phase[i]);
    for (uint32_t i = 0; i < 3; i++) io.Word(f.phase_reply_size[i]);
    io.Word(f.wrong_driver_proof);
    io.Word(f.wrong_confirmation);
    io.Word(f.capsule_reply_size);
    io.Word(f.reply_data_size_extra);
    io.Word(f.capsule_size_override);
    io.Word(f.capsule_size);

    io.Count(n.battery_count, kMaxBatteries);
    for (uint32_t i = 0; i < kMaxBatteries; i++) {
        auto &b = n.batteries[i];
        io.Word(b.present);
        io.Word(b.design_capacity);
        io.Word(b.relative);
        io.Word(b.tag);
        WalkSwitch(io, b.fail_open);
        WalkSwitch(io, b.fail_tag);
        WalkSwitch(io, b.fail_information);
    }
}

template <class Io, class L>
void WalkLog(Io &io, L &log) {
    io.Word(log.sequence);
    auto &m = log.misc;
    io.Word(m.handshakes_completed);
    io.Word(m.sessions_closed);
    io.Word(m.last_closed_session);
    io.Word(m.capsules_served);
    io.Word(m.capsules_refused);
    for (uint32_t i = 0; i < 8; i++) io.Word(m.misc_functions[i]);
    io.Word(m.misc_function_count);
    io.Word(log.entry_count);
    for (uint32_t i = 0; i < kMaxJournal; i++) {
        auto &e = log.entries[i];
        io.Word(e.device);
        io.Word(e.kind);
        io.Word(e.code);
        io.Word(e.in_size);
        io.Word(e.out_capacity);
        io.Word(e.result);
        io.Word(e.last_error);
        io.Word(e.bytes);
        io.Bytes(e.in_head, kJournalHead);
        io.Bytes(e.out_head, kJournalHead);
    }
}

}  // namespace

uint32_t EncodeNotebook(const Notebook &n, uint8_t out[kNotebookSize]) {
    CWriter w(out, kNotebookSize);
    w.Word(kNotebookMagic);
    w.Word(kWireVersion);
    WalkNotebook(w, n);
    return w.Written();
}

bool DecodeNotebook(const uint8_t *in, uint32_t size, Notebook *n) {
    if (in == nullptr || size != kNotebookSize) return false;
    CReader r(in, size);
    if (r.U32() != kNotebookMagic || r.U32() != kWireVersion) return false;
    ZeroBytes(n, sizeof *n);
    WalkNotebook(r, *n);
    return r.Ok();
}

uint32_t EncodeLog(const DriverLog &log, uint8_t out[kLogSize]) {
    CWriter w(out, kLogSize);
    w.Word(kLogMagic);
    w.Word(kWireVersion);
    WalkLog(w, log);
    return w.Written();
}

bool DecodeLog(const uint8_t *in, uint32_t size, DriverLog *log) {
    if (in == nullptr || size != kLogSize) return false;
    CReader r(in, size);
    if (r.U32() != kLogMagic || r.U32() != kWireVersion) return false;
    ZeroBytes(log, sizeof *log);
    WalkLog(r, *log);
    return r.Ok();
}

}  // namespace wdm
}  // namespace sim
