// The machine-file parser: a JSON text in, a sim::Machine out, or one
// error naming the field.
#include "machine.h"

#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <nlohmann/json.hpp>

#include "misc_driver.h"
#include "utf8.h"

namespace sim {

namespace {

using json = nlohmann::json;

// The path of a member of the object at path ("" is the top level).
std::string MemberPath(const std::string &path, const std::string &key) {
    return path.empty() ? key : path + "." + key;
}

bool IsLeapYear(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned y, unsigned m) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Whether s has the shape of pattern: '9' stands for a digit, any other
// character for itself (sscanf alone would also take signs and spaces).
bool Shaped(const std::string &s, const char *pattern) {
    size_t i = 0;
    for (; pattern[i]; i++) {
        if (i == s.size()) return false;
        const bool digit = s[i] >= '0' && s[i] <= '9';
        if (pattern[i] == '9' ? !digit : s[i] != pattern[i]) return false;
    }
    return i == s.size();
}

const char *const kMonthNames[12] = {"January", "February", "March",     "April",
                                     "May",     "June",     "July",      "August",
                                     "September", "October", "November", "December"};

// A parse error carries the path of the field it is about; the first one
// is kept.
struct Parser {
    MachineProblem problem;

    bool Fail(const std::string &path, const std::string &what) {
        if (problem.what.empty()) problem = MachineProblem{path, what};
        return false;
    }

    bool Keys(const json &j, const std::string &path, std::initializer_list<const char *> keys) {
        if (!j.is_object()) return Fail(path, "must be an object");
        for (auto it = j.begin(); it != j.end(); ++it) {
            bool known = false;
            for (const char *k : keys)
                if (it.key() == k) known = true;
            if (!known) return Fail(MemberPath(path, it.key()), "unknown field");
        }
        return true;
    }

    // A day of month m of year y that the calendar does not have.
    bool NoSuchDay(const std::string &path, unsigned y, unsigned m, unsigned d) {
        return Fail(path, "has day " + std::to_string(d) + ", but " + kMonthNames[m - 1] + " " +
                              std::to_string(y) + " has " + std::to_string(DaysInMonth(y, m)) +
                              " days");
    }

    bool Unsigned(const json &j, const std::string &path, uint64_t max, uint64_t *out) {
        if (!j.is_number_integer() || (j.is_number_integer() && j.get<int64_t>() < 0 &&
                                       !j.is_number_unsigned()))
            return Fail(path, "must be a non-negative integer");
        uint64_t v = j.get<uint64_t>();
        if (v > max) return Fail(path, "must be at most " + std::to_string(max));
        *out = v;
        return true;
    }

    template <typename T>
    bool Uint(const json &j, const std::string &path, T *out) {
        uint64_t v = 0;
        if (!Unsigned(j, path, (uint64_t)(T)~(T)0, &v)) return false;
        *out = (T)v;
        return true;
    }

    // An optional size field of the object j: absent leaves the switch off.
    bool OptionalSize(const json &j, const std::string &path, const char *key, SizeSwitch *out) {
        if (!j.contains(key)) return true;
        out->active = true;
        return Uint(j[key], path + "." + key, &out->bytes);
    }

    bool Bool(const json &j, const std::string &path, bool *out) {
        if (!j.is_boolean()) return Fail(path, "must be true or false");
        *out = j.get<bool>();
        return true;
    }

    bool Hex(const json &j, const std::string &path, size_t max, std::vector<uint8_t> *out) {
        if (!j.is_string()) return Fail(path, "must be a string of hexadecimal digits");
        std::string s;
        for (char c : j.get<std::string>())
            if (c != ' ') s += c;
        if (s.size() % 2) return Fail(path, "must have an even number of hexadecimal digits");
        out->clear();
        for (size_t i = 0; i < s.size(); i += 2) {
            int v = 0;
            for (int k = 0; k < 2; k++) {
                char c = s[i + k];
                int d = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
                if (d < 0) return Fail(path, "is not hexadecimal");
                v = v * 16 + d;
            }
            out->push_back((uint8_t)v);
        }
        if (out->size() > max) return Fail(path, "is longer than " + std::to_string(max) + " bytes");
        return true;
    }

    bool Fault(const json &j, const std::string &path, FaultSwitch *out) {
        if (j.is_null()) {
            *out = FaultSwitch{false, 0};
            return true;
        }
        if (!Keys(j, path, {"last_error"})) return false;
        if (!j.contains("last_error")) return Fail(path + ".last_error", "is required");
        out->active = true;
        return Uint(j["last_error"], path + ".last_error", &out->last_error);
    }

    bool Status(const json &j, const std::string &path, StatusScript *out) {
        memset(out, 0, sizeof *out);
        if (j.is_number_integer()) {
            out->count = 1;
            return Uint(j, path, &out->steps[0]);
        }
        if (!j.is_array() || j.empty() || j.size() > kMaxStatusSteps)
            return Fail(path, "must be a status byte or a list of 1 to " +
                                  std::to_string(kMaxStatusSteps) + " status bytes");
        for (size_t i = 0; i < j.size(); i++)
            if (!Uint(j[i], path + "[" + std::to_string(i) + "]", &out->steps[i])) return false;
        out->count = (uint32_t)j.size();
        return true;
    }

    bool Date(const json &j, const std::string &path, uint16_t *out) {
        if (j.is_number_integer()) return Uint(j, path, out);
        if (!j.is_string()) return Fail(path, "must be \"YYYY-MM-DD\" or a packed 16-bit value");
        std::string s = j.get<std::string>();
        unsigned y, m, d;
        char tail;
        // NOLINTNEXTLINE(cert-err34-c): the field widths keep each number far from overflow
        if (!Shaped(s, "9999-99-99") || sscanf(s.c_str(), "%4u-%2u-%2u%c", &y, &m, &d, &tail) != 3)
            return Fail(path, "must be \"YYYY-MM-DD\"");
        // The years that the packed layout holds.
        constexpr unsigned kFirstYear = PackedDateYear(0), kLastYear = PackedDateYear(0xFFFF);
        if (y < kFirstYear || y > kLastYear || m < 1 || m > 12 || d < 1 || d > 31)
            return Fail(path, "is not a date from " + std::to_string(kFirstYear) + "-01-01 to " +
                                  std::to_string(kLastYear) + "-12-31");
        if (d > DaysInMonth(y, m)) return NoSuchDay(path, y, m, d);
        *out = PackDate(y, m, d);
        return true;
    }

    bool Time(const json &j, const std::string &path, ClockConfig *c) {
        if (!j.is_string()) return Fail(path, "must be an ISO 8601 UTC time");
        std::string s = j.get<std::string>();
        unsigned y, mo, d, h, mi, se, ms;
        char tail;
        if (!Shaped(s, "9999-99-99T99:99:99.999Z") ||
            // NOLINTNEXTLINE(cert-err34-c): the shape checked keeps each number far from overflow
            sscanf(s.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u.%3uZ%c", &y, &mo, &d, &h, &mi, &se, &ms,
                   &tail) != 7)
            return Fail(path, "must be \"YYYY-MM-DDThh:mm:ss.sssZ\"");
        if (y < 1601 || y > 30827 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
            se > 59)
            return Fail(path, "is not a valid time");
        if (d > DaysInMonth(y, mo)) return NoSuchDay(path, y, mo, d);
        c->fixed_time = true;
        c->year = (uint16_t)y;
        c->month = (uint16_t)mo;
        c->day = (uint16_t)d;
        c->hour = (uint16_t)h;
        c->minute = (uint16_t)mi;
        c->second = (uint16_t)se;
        c->milliseconds = (uint16_t)ms;
        // Day of the week by Sakamoto's method (0 is Sunday).
        static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
        int yy = (int)y - (mo < 3);
        c->day_of_week = (uint16_t)((yy + yy / 4 - yy / 100 + yy / 400 + t[mo - 1] + (int)d) % 7);
        return true;
    }

    bool Pack(const json &j, const std::string &path, PackConfig *p) {
        if (!Keys(j, path, {"part_number", "date", "date_status", "part_number_status"}))
            return false;
        memset(p, 0, sizeof *p);
        if (!j.contains("part_number")) return Fail(path + ".part_number", "is required");
        const json &pn = j["part_number"];
        if (pn.is_string()) {
            std::string s = pn.get<std::string>();
            if (s.size() > MISC_PART_NUMBER_SIZE)
                return Fail(path + ".part_number",
                            "is longer than " + std::to_string(MISC_PART_NUMBER_SIZE) + " bytes");
            memcpy(p->part_number, s.data(), s.size());
        } else if (pn.is_object()) {
            if (!Keys(pn, path + ".part_number", {"hex"})) return false;
            std::vector<uint8_t> raw;
            if (!pn.contains("hex")) return Fail(path + ".part_number.hex", "is required");
            if (!Hex(pn["hex"], path + ".part_number.hex", MISC_PART_NUMBER_SIZE, &raw)) return false;
            if (!raw.empty()) memcpy(p->part_number, raw.data(), raw.size());
        } else {
            return Fail(path + ".part_number", "must be a text or {\"hex\": ...}");
        }
        if (!j.contains("date")) return Fail(path + ".date", "is required");
        if (!Date(j["date"], path + ".date", &p->packed_date)) return false;
        if (j.contains("date_status") && !Status(j["date_status"], path + ".date_status", &p->date_status))
            return false;
        if (j.contains("part_number_status") &&
            !Status(j["part_number_status"], path + ".part_number_status", &p->part_status))
            return false;
        return true;
    }

    bool Faults(const json &j, const std::string &path, MiscDeviceConfig *d) {
        if (!Keys(j, path,
                  {"model", "session", "capsule", "close", "probe", "phase1", "phase2", "phase3",
                   "phase1_reply_size", "phase2_reply_size", "phase3_reply_size",
                   "wrong_driver_proof", "wrong_confirmation", "capsule_reply_size",
                   "reply_data_size_extra", "capsule_size"}))
            return false;
        SessionFaults &f = d->faults;
        if (j.contains("model") && !Fault(j["model"], path + ".model", &d->fail_model)) return false;
        if (j.contains("session") && !Fault(j["session"], path + ".session", &d->fail_session))
            return false;
        if (j.contains("capsule") && !Fault(j["capsule"], path + ".capsule", &d->fail_capsule))
            return false;
        if (j.contains("close") && !Fault(j["close"], path + ".close", &d->fail_close)) return false;
        if (j.contains("probe")) {
            const json &p = j["probe"];
            if (!Keys(p, path + ".probe", {"result", "last_error"})) return false;
            f.probe_override = true;
            f.probe_result = false;
            if (p.contains("result") && !Bool(p["result"], path + ".probe.result", &f.probe_result))
                return false;
            if (p.contains("last_error") &&
                !Uint(p["last_error"], path + ".probe.last_error", &f.probe_last_error))
                return false;
        }
        const char *phases[3] = {"phase1", "phase2", "phase3"};
        const std::string prefix = path + ".";
        for (int i = 0; i < 3; i++) {
            std::string name = phases[i];
            if (j.contains(name) && !Fault(j[name], prefix + name, &f.phase[i])) return false;
            std::string size = name + "_reply_size";
            if (j.contains(size)) {
                uint32_t v;
                if (!Uint(j[size], prefix + size, &v)) return false;
                if (v > 0x7FFFFFFF) return Fail(prefix + size, "is too large");
                f.phase_reply_size[i] = (int32_t)v;
            }
        }
        if (j.contains("wrong_driver_proof") &&
            !Bool(j["wrong_driver_proof"], path + ".wrong_driver_proof", &f.wrong_driver_proof))
            return false;
        if (j.contains("wrong_confirmation") &&
            !Bool(j["wrong_confirmation"], path + ".wrong_confirmation", &f.wrong_confirmation))
            return false;
        if (j.contains("capsule_reply_size")) {
            uint32_t v;
            if (!Uint(j["capsule_reply_size"], path + ".capsule_reply_size", &v)) return false;
            if (v > 0x7FFFFFFF) return Fail(path + ".capsule_reply_size", "is too large");
            f.capsule_reply_size = (int32_t)v;
        }
        if (j.contains("reply_data_size_extra")) {
            uint32_t v;
            if (!Uint(j["reply_data_size_extra"], path + ".reply_data_size_extra", &v))
                return false;
            f.reply_data_size_extra = (int32_t)v;
        }
        if (j.contains("capsule_size")) {
            f.capsule_size_override = true;
            if (!Uint(j["capsule_size"], path + ".capsule_size", &f.capsule_size)) return false;
        }
        return true;
    }

    bool Misc(const json &j, const std::string &path, MiscDriverHost *m) {
        if (!Keys(j, path,
                  {"driver_version", "driver_version_terminated", "in_use_elsewhere", "model",
                   "model_record", "sessions", "private_exponent", "first_session_id",
                   "support_code", "support_status", "slot_word", "slot_status", "batteries",
                   "faults", "external", "external_reply_timeout_ms", "detail_required_size",
                   "description"}))
            return false;
        m->present = true;
        MiscDeviceConfig &d = m->device;
        if (j.contains("driver_version")) {
            const json &v = j["driver_version"];
            if (v.is_null()) {
                m->version_missing = true;
            } else if (v.is_string()) {
                if (!WideFromUtf8(v.get<std::string>(), &m->driver_version))
                    return Fail(path + ".driver_version", "is not UTF-8");
            } else {
                return Fail(path + ".driver_version", "must be a text or null");
            }
        }
        if (j.contains("driver_version_terminated") &&
            !Bool(j["driver_version_terminated"], path + ".driver_version_terminated",
                  &m->version_terminated))
            return false;
        if (j.contains("in_use_elsewhere") &&
            !Bool(j["in_use_elsewhere"], path + ".in_use_elsewhere", &m->in_use_elsewhere))
            return false;
        if (!OptionalSize(j, path, "detail_required_size", &m->detail_required_size)) return false;
        if (j.contains("model") && j.contains("model_record"))
            return Fail(path + ".model_record", "cannot stand beside model");
        if (j.contains("model")) {
            if (!j["model"].is_string()) return Fail(path + ".model", "must be a text");
            std::string s = j["model"].get<std::string>();
            if (s.size() > MISC_MODEL_LONG_MAX)
                return Fail(path + ".model", "is longer than " + std::to_string(MISC_MODEL_LONG_MAX) +
                                                 " bytes (UTF-8)");
            BuildModelRecord(s.c_str(), d.model_record);
            d.model_record_size = MISC_MODEL_RECORD_SIZE;
        }
        if (j.contains("model_record")) {
            std::vector<uint8_t> raw;
            if (!Hex(j["model_record"], path + ".model_record", kMaxRawModelRecord, &raw))
                return false;
            memset(d.model_record, 0, sizeof d.model_record);
            if (!raw.empty()) memcpy(d.model_record, raw.data(), raw.size());
            d.model_record_size = (uint32_t)raw.size();
        }
        if (j.contains("sessions") && !Bool(j["sessions"], path + ".sessions", &d.sessions))
            return false;
        if (j.contains("private_exponent")) {
            // Hexadecimal, most significant digit first, at most 96 bits.
            std::vector<uint8_t> raw;
            if (!Hex(j["private_exponent"], path + ".private_exponent", 12, &raw)) return false;
            memset(d.private_exponent, 0, sizeof d.private_exponent);
            for (size_t i = 0; i < raw.size(); i++) {
                size_t bit = 8 * (raw.size() - 1 - i);
                d.private_exponent[bit / 32] |= (uint32_t)raw[i] << (bit % 32);
            }
            d.fixed_exponent = true;
        }
        if (j.contains("first_session_id") &&
            !Uint(j["first_session_id"], path + ".first_session_id", &d.first_session_id))
            return false;
        if (j.contains("support_code") && !Uint(j["support_code"], path + ".support_code", &d.support_code))
            return false;
        if (j.contains("support_status") &&
            !Status(j["support_status"], path + ".support_status", &d.support_status))
            return false;
        if (j.contains("slot_word") && !Uint(j["slot_word"], path + ".slot_word", &d.slot_word))
            return false;
        if (j.contains("slot_status") && !Status(j["slot_status"], path + ".slot_status", &d.slot_status))
            return false;
        if (j.contains("batteries")) {
            const json &b = j["batteries"];
            if (!b.is_array() || b.size() > kMaxPacks)
                return Fail(path + ".batteries", "must be a list of at most " +
                                                     std::to_string(kMaxPacks) + " packs");
            d.pack_count = (uint32_t)b.size();
            for (size_t i = 0; i < b.size(); i++)
                if (!Pack(b[i], path + ".batteries[" + std::to_string(i) + "]", &d.packs[i]))
                    return false;
        }
        if (j.contains("faults") && !Faults(j["faults"], path + ".faults", &d)) return false;
        if (j.contains("external")) {
            if (!j["external"].is_string() || j["external"].get<std::string>().empty())
                return Fail(path + ".external", "must be a command");
            m->external = j["external"].get<std::string>();
        }
        if (j.contains("external_reply_timeout_ms")) {
            const std::string field = path + ".external_reply_timeout_ms";
            if (!j.contains("external")) return Fail(field, "needs external beside it");
            uint64_t ms = 0;
            if (!Unsigned(j["external_reply_timeout_ms"], field, kMaxExternalReplyTimeoutMs, &ms))
                return false;
            if (ms == 0) return Fail(field, "must be at least 1");
            m->external_reply_timeout_ms = (uint32_t)ms;
        }
        if (j.contains("description") && !j["description"].is_string())
            return Fail(path + ".description", "must be a text");
        return true;
    }

    bool Battery(const json &j, const std::string &path, BatteryDeviceConfig *b) {
        if (!Keys(j, path,
                  {"design_capacity", "relative", "tag", "present", "fail_open", "fail_tag",
                   "fail_information", "tag_reply_size", "information_reply_size",
                   "detail_required_size"}))
            return false;
        if (!j.contains("design_capacity")) return Fail(path + ".design_capacity", "is required");
        if (!Uint(j["design_capacity"], path + ".design_capacity", &b->design_capacity)) return false;
        if (j.contains("relative") && !Bool(j["relative"], path + ".relative", &b->relative))
            return false;
        if (j.contains("tag") && !Uint(j["tag"], path + ".tag", &b->tag)) return false;
        if (j.contains("present") && !Bool(j["present"], path + ".present", &b->present))
            return false;
        if (j.contains("fail_open") && !Fault(j["fail_open"], path + ".fail_open", &b->fail_open))
            return false;
        if (j.contains("fail_tag") && !Fault(j["fail_tag"], path + ".fail_tag", &b->fail_tag))
            return false;
        if (j.contains("fail_information") &&
            !Fault(j["fail_information"], path + ".fail_information", &b->fail_information))
            return false;
        return OptionalSize(j, path, "tag_reply_size", &b->tag_reply_size) &&
               OptionalSize(j, path, "information_reply_size", &b->information_reply_size) &&
               OptionalSize(j, path, "detail_required_size", &b->detail_required_size);
    }

    bool Root(const json &j, Machine *m) {
        if (!j.is_object()) return Fail("", "the machine description must be a JSON object");
        if (!Keys(j, "",
                  {"description", "session", "clock", "message_box", "heap", "existing_mutexes",
                   "misc_driver", "battery_class"}))
            return false;
        if (j.contains("description") && !j["description"].is_string())
            return Fail("description", "must be a text");
        if (j.contains("session")) {
            if (!Uint(j["session"], "session", &m->session)) return false;
        }
        if (j.contains("clock")) {
            const json &c = j["clock"];
            if (!Keys(c, "clock", {"system_time", "performance_counter"})) return false;
            if (c.contains("system_time") && !Time(c["system_time"], "clock.system_time", &m->clock))
                return false;
            if (c.contains("performance_counter")) {
                const json &pc = c["performance_counter"];
                const std::string path = "clock.performance_counter";
                if (!pc.is_number_integer()) return Fail(path, "must be an integer");
                if (pc.is_number_unsigned() && pc.get<uint64_t>() > (uint64_t)INT64_MAX)
                    return Fail(path, "must be at most " + std::to_string(INT64_MAX));
                m->clock.fixed_counter = true;
                m->clock.counter = pc.get<int64_t>();
            }
        }
        if (j.contains("message_box")) {
            const json &b = j["message_box"];
            if (!Keys(b, "message_box", {"hold_ms"})) return false;
            if (b.contains("hold_ms") && !Uint(b["hold_ms"], "message_box.hold_ms", &m->hold_ms))
                return false;
        }
        if (j.contains("heap")) {
            const json &h = j["heap"];
            if (!Keys(h, "heap", {"fail_allocation"})) return false;
            if (h.contains("fail_allocation") &&
                !Uint(h["fail_allocation"], "heap.fail_allocation", &m->fail_allocation))
                return false;
        }
        if (j.contains("existing_mutexes")) {
            const json &l = j["existing_mutexes"];
            if (!l.is_array()) return Fail("existing_mutexes", "must be a list");
            for (size_t i = 0; i < l.size(); i++) {
                std::string path = "existing_mutexes[" + std::to_string(i) + "]";
                if (!Keys(l[i], path, {"name", "session"})) return false;
                ExistingMutex e;
                e.session = m->session;
                if (!l[i].contains("name") || !l[i]["name"].is_string() ||
                    l[i]["name"].get<std::string>().empty())
                    return Fail(path + ".name", "must be a mutex name");
                e.name = l[i]["name"].get<std::string>();
                if (l[i].contains("session") && !Uint(l[i]["session"], path + ".session", &e.session))
                    return false;
                m->existing_mutexes.push_back(e);
            }
        }
        DefaultMiscDeviceConfig(&m->misc.device);
        if (j.contains("misc_driver") && !j["misc_driver"].is_null() &&
            !Misc(j["misc_driver"], "misc_driver", &m->misc))
            return false;
        if (j.contains("battery_class")) {
            const json &l = j["battery_class"];
            if (!l.is_array()) return Fail("battery_class", "must be a list");
            for (size_t i = 0; i < l.size(); i++) {
                BatteryDeviceConfig b;
                if (!Battery(l[i], "battery_class[" + std::to_string(i) + "]", &b)) return false;
                m->batteries.push_back(b);
            }
        }
        return true;
    }
};

// Builds the document as json::parse does, with two differences: a key
// that appears twice in one object is an error (json::parse keeps the
// last), and a syntax error keeps its byte position.
class DocumentBuilder {
public:
    explicit DocumentBuilder(json *root) : _root(root) {}

    bool null() { return Add(json()); }
    bool boolean(bool v) { return Add(json(v)); }
    bool number_integer(json::number_integer_t v) { return Add(json(v)); }
    bool number_unsigned(json::number_unsigned_t v) { return Add(json(v)); }
    bool number_float(json::number_float_t v, const json::string_t &) { return Add(json(v)); }
    bool string(json::string_t &v) { return Add(json(std::move(v))); }
    bool binary(json::binary_t &) { return false; }  // JSON text has no binary values
    bool start_object(std::size_t) { return Open(json::object()); }
    bool start_array(std::size_t) { return Open(json::array()); }
    bool end_object() { return Close(); }
    bool end_array() { return Close(); }

    bool key(json::string_t &k) {
        // The values of the keys before this one are in place already.
        if (_open.back().node->contains(k)) {
            duplicate = MemberPath(PathOf(_open.size()), k);
            return false;
        }
        _key = std::move(k);
        return true;
    }

    bool parse_error(std::size_t position, const std::string &, const nlohmann::detail::exception &e) {
        error_position = position;
        error_text = e.what();
        return false;
    }

    std::string duplicate;     // the path of a key seen twice in one object
    size_t error_position = 0;  // of a syntax error: 1 + the offset of the byte at fault
    std::string error_text;

private:
    // An open object or list, and where it sits in the one around it.
    struct Level {
        json *node;
        std::string key;  // in an object
        size_t index;     // in a list
    };

    // Places v in the innermost open object or list.
    json *Place(json &&v) {
        if (_open.empty()) {
            *_root = std::move(v);
            return _root;
        }
        json *parent = _open.back().node;
        if (parent->is_array()) {
            parent->push_back(std::move(v));
            return &parent->back();
        }
        json &slot = (*parent)[_key];
        slot = std::move(v);
        return &slot;
    }

    bool Add(json &&v) {
        Place(std::move(v));
        return true;
    }

    bool Open(json &&v) {
        Level level{nullptr, {}, 0};
        if (!_open.empty()) {
            if (_open.back().node->is_array()) level.index = _open.back().node->size();
            else level.key = _key;
        }
        level.node = Place(std::move(v));
        _open.push_back(std::move(level));
        return true;
    }

    bool Close() {
        _open.pop_back();
        return true;
    }

    // The path of the n-th open level (built only for a message: the
    // levels keep no paths, so that deep nesting costs no more than its
    // text).
    std::string PathOf(size_t n) const {
        std::string path;
        for (size_t i = 1; i < n; i++) {
            if (_open[i - 1].node->is_array()) path += "[" + std::to_string(_open[i].index) + "]";
            else path = MemberPath(path, _open[i].key);
        }
        return path;
    }

    json *_root;
    std::vector<Level> _open;
    std::string _key;  // the key of the value that comes next in an object
};

// "line L, column C" of a byte offset; columns count characters (UTF-8
// sequences), from 1.
std::string LineAndColumn(const std::string &text, size_t offset) {
    if (offset > text.size()) offset = text.size();
    size_t line = 1, column = 1;
    for (size_t i = 0; i < offset; i++) {
        const unsigned char c = (unsigned char)text[i];
        if (c == '\n') {
            line++;
            column = 1;
        } else if ((c & 0xC0) != 0x80) {
            column++;
        }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// The reason in a parse error's text, after nlohmann's own prefix and
// position ("[json.exception.parse_error.101] parse error at line 1,
// column 17: syntax error while parsing value - ").
std::string SyntaxReason(const std::string &what) {
    size_t at = what.find(" - ");
    if (at != std::string::npos) return what.substr(at + 3);
    at = what.find(": ");
    return at == std::string::npos ? what : what.substr(at + 2);
}

bool OnlyWhiteSpace(const std::string &text) {
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return false;
    return true;
}

// The text as a document; false with the problem when it is not one.
bool ReadDocument(const std::string &text, json *doc, MachineProblem *problem) {
    if (OnlyWhiteSpace(text)) {
        *problem = MachineProblem{"", "is empty: it holds no JSON value"};
        return false;
    }
    DocumentBuilder builder(doc);
    if (json::sax_parse(text, &builder)) return true;
    if (!builder.duplicate.empty()) *problem = MachineProblem{builder.duplicate, "appears twice"};
    else
        *problem = MachineProblem{"", LineAndColumn(text, builder.error_position - 1) +
                                          ": not valid JSON: " + SyntaxReason(builder.error_text)};
    return false;
}

// The innermost member of an object at or above what path names: its
// object, key and path. doc is walked by its keys, since a key may itself
// hold '.' or '['.
bool FindMember(json &doc, const std::string &path, json **object, std::string *key,
                std::string *member_path) {
    json *node = &doc;
    *object = nullptr;
    size_t at = 0;
    while (at < path.size()) {
        if (node->is_object()) {
            if (at > 0 && path[at] == '.') at++;
            const std::string *best = nullptr;
            for (auto it = node->begin(); it != node->end(); ++it) {
                const std::string &k = it.key();
                const size_t end = at + k.size();
                if (path.compare(at, k.size(), k) == 0 &&
                    (end == path.size() || path[end] == '.' || path[end] == '[') &&
                    (!best || k.size() > best->size()))
                    best = &k;
            }
            if (!best) break;
            *object = node;
            *key = *best;
            at += best->size();
            *member_path = path.substr(0, at);
            node = &(*node)[*best];
        } else if (node->is_array() && path[at] == '[') {
            const size_t close = path.find(']', at);
            if (close == std::string::npos) break;
            const std::string digits = path.substr(at + 1, close - at - 1);
            const unsigned long index = strtoul(digits.c_str(), nullptr, 10);
            if (index >= node->size()) break;
            node = &(*node)[index];
            at = close + 1;
        } else {
            break;
        }
    }
    return *object != nullptr;
}

// Whether path is base or lies inside it.
bool Inside(const std::string &path, const std::string &base) {
    if (path.compare(0, base.size(), base) != 0) return false;
    return path.size() == base.size() || base.empty() || path[base.size()] == '.' ||
           path[base.size()] == '[';
}

// A bound on the parses of one check, so that a file of many thousand
// faults is still answered quickly.
constexpr size_t kMaxCheckRounds = 200;

}  // namespace

std::string DescribeProblem(const MachineProblem &problem) {
    return problem.path.empty() ? problem.what : "field " + problem.path + ": " + problem.what;
}

bool ParseMachine(const std::string &text, const std::string &source, Machine *machine,
                  std::string *error) {
    *machine = Machine();
    machine->source = source;
    json j;
    MachineProblem problem;
    if (!ReadDocument(text, &j, &problem)) {
        *error = source + ": " + DescribeProblem(problem);
        return false;
    }
    Parser p;
    if (!p.Root(j, machine)) {
        *error = source + ": " + DescribeProblem(p.problem);
        return false;
    }
    return true;
}

std::vector<MachineProblem> CheckMachine(const std::string &text) {
    std::vector<MachineProblem> problems;
    json doc;
    MachineProblem problem;
    if (!ReadDocument(text, &doc, &problem)) return {problem};
    std::vector<std::string> set_aside;
    for (size_t round = 0;; round++) {
        Machine machine;
        Parser p;
        if (p.Root(doc, &machine)) break;
        if (round == kMaxCheckRounds) {
            problems.push_back({"", "more problems follow; the check stopped after " +
                                        std::to_string(kMaxCheckRounds) + " rounds"});
            break;
        }
        // A field that was set aside and is now missing, or anything
        // inside one, follows from a problem already listed.
        bool follows = false;
        for (const std::string &base : set_aside)
            if (Inside(p.problem.path, base)) follows = true;
        if (!follows) problems.push_back(p.problem);
        json *object = nullptr;
        std::string key, member;
        if (!FindMember(doc, p.problem.path, &object, &key, &member)) break;
        set_aside.push_back(member);
        object->erase(key);
    }
    return problems;
}

const char *DefaultMachineText() {
    return R"json({
  "description": "HT-K60 notebook, session driver 1.0.9, one pack from a recalled lot",
  "session": 1,
  "misc_driver": {
    "driver_version": "1.0.9.0",
    "model": "HT-K60A",
    "sessions": true,
    "support_code": 3,
    "slot_word": 1,
    "batteries": [{"part_number": "HT-QBLP21", "date": "2012-02-09"}]
  },
  "battery_class": [{"design_capacity": 46080}]
})json";
}

}  // namespace sim
