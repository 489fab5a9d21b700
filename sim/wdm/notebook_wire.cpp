// The notebook and log byte layouts that pass between the test tooling
// and the kernel-mode test driver.
#include "notebook_wire.h"

namespace sim {
namespace wdm {

namespace {

// Sequential little-endian writes into a buffer of known size; writes past
// its end are dropped.
class CWriter {
public:
    CWriter(uint8_t *out, uint32_t size) : _out(out), _size(size), _at(0) {}
    void U32(uint32_t v) {
        for (uint32_t i = 0; i < kWord; i++) Byte((uint8_t)(v >> (8 * i)));
    }
    void Flag(bool v) { U32(v ? 1 : 0); }
    void Bytes(const uint8_t *p, uint32_t n) {
        for (uint32_t i = 0; i < n; i++) Byte(p[i]);
    }
    void Switch(const FaultSwitch &f) {
        Flag(f.active);
        U32(f.last_error);
    }
    void Script(const StatusScript &s) {
        U32(s.count);
        Bytes(s.steps, kMaxStatusSteps);
    }
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
    int32_t I32() { return (int32_t)U32(); }
    bool Flag() { return U32() != 0; }
    void Bytes(uint8_t *p, uint32_t n) {
        for (uint32_t i = 0; i < n; i++) p[i] = Byte();
    }
    void Switch(FaultSwitch *f) {
        f->active = Flag();
        f->last_error = U32();
    }
    void Script(StatusScript *s) {
        s->count = U32();
        Bytes(s->steps, kMaxStatusSteps);
        if (s->count > kMaxStatusSteps) s->count = kMaxStatusSteps;
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

}  // namespace

uint32_t EncodeNotebook(const Notebook &n, uint8_t out[kNotebookSize]) {
    CWriter w(out, kNotebookSize);
    w.U32(kNotebookMagic);
    w.U32(kWireVersion);
    w.U32(n.sequence);

    const MiscDeviceConfig &m = n.misc;
    w.U32(m.model_record_size);
    w.Bytes(m.model_record, kMaxRawModelRecord);
    w.Switch(m.fail_model);
    w.Switch(m.fail_session);
    w.Switch(m.fail_capsule);
    w.Switch(m.fail_close);
    w.Flag(m.sessions);
    w.Flag(m.fixed_exponent);
    for (uint32_t i = 0; i < kExponentWords; i++) w.U32(m.private_exponent[i]);
    w.U32(m.first_session_id);
    w.U32(m.support_code);
    w.Script(m.support_status);
    w.U32(m.slot_word);
    w.Script(m.slot_status);
    w.U32(m.pack_count);
    for (uint32_t i = 0; i < kMaxPacks; i++) {
        const PackConfig &p = m.packs[i];
        w.Bytes(p.part_number, kPartNumberSize);
        w.U32(p.packed_date);
        w.Script(p.date_status);
        w.Script(p.part_status);
    }
    const SessionFaults &f = m.faults;
    w.Flag(f.probe_override);
    w.Flag(f.probe_result);
    w.U32(f.probe_last_error);
    for (uint32_t i = 0; i < 3; i++) w.Switch(f.phase[i]);
    for (uint32_t i = 0; i < 3; i++) w.U32((uint32_t)f.phase_reply_size[i]);
    w.Flag(f.wrong_driver_proof);
    w.Flag(f.wrong_confirmation);
    w.U32((uint32_t)f.capsule_reply_size);
    w.U32((uint32_t)f.reply_data_size_extra);
    w.Flag(f.capsule_size_override);
    w.U32(f.capsule_size);

    w.U32(n.battery_count);
    for (uint32_t i = 0; i < kMaxBatteries; i++) {
        const BatteryDeviceConfig &b = n.batteries[i];
        w.Flag(b.present);
        w.U32(b.design_capacity);
        w.Flag(b.relative);
        w.U32(b.tag);
        w.Switch(b.fail_open);
        w.Switch(b.fail_tag);
        w.Switch(b.fail_information);
    }
    return w.Written();
}

bool DecodeNotebook(const uint8_t *in, uint32_t size, Notebook *n) {
    if (in == nullptr || size != kNotebookSize) return false;
    CReader r(in, size);
    if (r.U32() != kNotebookMagic || r.U32() != kWireVersion) return false;
    ZeroBytes(n, sizeof *n);
    n->sequence = r.U32();

    MiscDeviceConfig &m = n->misc;
    m.model_record_size = r.U32();
    if (m.model_record_size > kMaxRawModelRecord) m.model_record_size = kMaxRawModelRecord;
    r.Bytes(m.model_record, kMaxRawModelRecord);
    r.Switch(&m.fail_model);
    r.Switch(&m.fail_session);
    r.Switch(&m.fail_capsule);
    r.Switch(&m.fail_close);
    m.sessions = r.Flag();
    m.fixed_exponent = r.Flag();
    for (uint32_t i = 0; i < kExponentWords; i++) m.private_exponent[i] = r.U32();
    m.first_session_id = r.U32();
    m.support_code = (uint8_t)r.U32();
    r.Script(&m.support_status);
    m.slot_word = (uint16_t)r.U32();
    r.Script(&m.slot_status);
    m.pack_count = r.U32();
    if (m.pack_count > kMaxPacks) m.pack_count = kMaxPacks;
    for (uint32_t i = 0; i < kMaxPacks; i++) {
        PackConfig &p = m.packs[i];
        r.Bytes(p.part_number, kPartNumberSize);
        p.packed_date = (uint16_t)r.U32();
        r.Script(&p.date_status);
        r.Script(&p.part_status);
    }
    SessionFaults &f = m.faults;
    f.probe_override = r.Flag();
    f.probe_result = r.Flag();
    f.probe_last_error = r.U32();
    for (uint32_t i = 0; i < 3; i++) r.Switch(&f.phase[i]);
    for (uint32_t i = 0; i < 3; i++) f.phase_reply_size[i] = r.I32();
    f.wrong_driver_proof = r.Flag();
    f.wrong_confirmation = r.Flag();
    f.capsule_reply_size = r.I32();
    f.reply_data_size_extra = r.I32();
    f.capsule_size_override = r.Flag();
    f.capsule_size = r.U32();

    n->battery_count = r.U32();
    if (n->battery_count > kMaxBatteries) n->battery_count = kMaxBatteries;
    for (uint32_t i = 0; i < kMaxBatteries; i++) {
        BatteryDeviceConfig &b = n->batteries[i];
        b.present = r.Flag();
        b.design_capacity = r.U32();
        b.relative = r.Flag();
        b.tag = r.U32();
        r.Switch(&b.fail_open);
        r.Switch(&b.fail_tag);
        r.Switch(&b.fail_information);
    }
    return r.Ok();
}

uint32_t EncodeLog(const DriverLog &log, uint8_t out[kLogSize]) {
    CWriter w(out, kLogSize);
    w.U32(kLogMagic);
    w.U32(kWireVersion);
    w.U32(log.sequence);
    const MiscDeviceLog &m = log.misc;
    w.U32(m.handshakes_completed);
    w.U32(m.sessions_closed);
    w.U32(m.last_closed_session);
    w.U32(m.capsules_served);
    w.U32(m.capsules_refused);
    for (uint32_t i = 0; i < 8; i++) w.U32(m.misc_functions[i]);
    w.U32(m.misc_function_count);
    w.U32(log.entry_count);
    for (uint32_t i = 0; i < kMaxJournal; i++) {
        const JournalEntry &e = log.entries[i];
        w.U32(e.device);
        w.U32(e.kind);
        w.U32(e.code);
        w.U32(e.in_size);
        w.U32(e.out_capacity);
        w.U32(e.result);
        w.U32(e.last_error);
        w.U32(e.bytes);
        w.Bytes(e.in_head, kJournalHead);
        w.Bytes(e.out_head, kJournalHead);
    }
    return w.Written();
}

bool DecodeLog(const uint8_t *in, uint32_t size, DriverLog *log) {
    if (in == nullptr || size != kLogSize) return false;
    CReader r(in, size);
    if (r.U32() != kLogMagic || r.U32() != kWireVersion) return false;
    ZeroBytes(log, sizeof *log);
    log->sequence = r.U32();
    MiscDeviceLog &m = log->misc;
    m.handshakes_completed = r.U32();
    m.sessions_closed = r.U32();
    m.last_closed_session = r.U32();
    m.capsules_served = r.U32();
    m.capsules_refused = r.U32();
    for (uint32_t i = 0; i < 8; i++) m.misc_functions[i] = r.U32();
    m.misc_function_count = r.U32();
    log->entry_count = r.U32();
    for (uint32_t i = 0; i < kMaxJournal; i++) {
        JournalEntry &e = log->entries[i];
        e.device = r.U32();
        e.kind = r.U32();
        e.code = r.U32();
        e.in_size = r.U32();
        e.out_capacity = r.U32();
        e.result = r.U32();
        e.last_error = r.U32();
        e.bytes = r.U32();
        r.Bytes(e.in_head, kJournalHead);
        r.Bytes(e.out_head, kJournalHead);
    }
    return r.Ok();
}

}  // namespace wdm
}  // namespace sim
