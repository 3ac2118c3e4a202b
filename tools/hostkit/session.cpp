#include "tools/hostkit/session.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace hostkit {

namespace {

Json JsonValue(const Change& c, bool after) {
    if (c.field == nullptr || c.field->size != 4) {
        return after ? c.after : c.before;
    }
    return after ? c.afterValue : c.beforeValue;
}

Json JsonChanges(const std::vector<Change>& changes) {
    Json out = Json::object();
    for (const Change& c : changes) {
        out[c.field != nullptr ? c.field->name : c.before] =
            Json::array({JsonValue(c, false), JsonValue(c, true)});
    }
    return out;
}

}  // namespace

Session::Session(const Module& module, HostRecords& records, std::ostream& out, bool json)
    : m_Module(module), m_Records(records), m_Out(out), m_bJson(json) {}

void Session::SetRate(const RateInfo* rate) {
    m_pRate = rate;
    if (rate != nullptr) {
        m_Records.Set("nVideoFormat", ModuleFormat(rate->base));
    }
}

std::string Session::TimeOf(int64_t count) const {
    if (m_pRate == nullptr) {
        return FormatTimecode(count, m_Records.Fps());
    }
    const TimeBase& base = m_pRate->base;
    return FormatTimecode(LabelsToFrames(LabelsOfModuleCount(count, base), base), base);
}

int64_t Session::Count(const Assignment& a) const {
    if (m_pRate == nullptr || !a.value.isTime) {
        return Resolve(a.value, *a.field, m_Records.Fps());
    }
    const Value& v = a.value;
    char text[64];
    std::snprintf(text, sizeof text, "%s%02d:%02d:%02d:%02d", v.negative ? "-" : "", v.hours,
                  v.minutes, v.seconds, v.frames);
    const ParsedTimecode p = ParseTimecode(text, *m_pRate);
    if (!p.ok) {
        throw ScriptError(p.error);
    }
    const std::string refusal = LineRefusal(p.frames, *m_pRate);
    if (!refusal.empty()) {
        throw ScriptError(refusal);
    }
    const TimeBase& base = m_pRate->base;
    Value count;
    count.text = v.text;
    ModuleCountOfLabels(FramesToLabels(p.frames, base), base, &count.number);
    return Resolve(count, *a.field, m_Records.Fps());
}

void Session::Apply(const std::vector<Assignment>& sets) {
    // Resolve each value after the ones before it are stored: `set nVideoFormat=4 nPosition=..`
    // counts the timecode at 30 frames a second.
    for (const Assignment& a : sets) {
        m_Records.Set(*a.field, Count(a));
    }
}

void Session::Note(std::vector<Change>* changes) const {
    for (Change& c : *changes) {
        if (c.field != nullptr && c.field->kind == FieldKind::kFrames) {
            c.note = TimeOf(c.afterValue);
        }
    }
}

Outcome Session::Quiet(int command) {
    m_Records.ClearData();
    if (beforeCall) {
        beforeCall(m_Records);
    }
    Outcome o;
    o.command = command;
    const Snapshot before(m_Records);
    const auto start = std::chrono::steady_clock::now();
    o.result = m_Module.Call(command, m_Records);
    o.millis =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    o.changes = before.Diff(m_Records);
    Note(&o.changes);
    o.guardsIntact = m_Records.GuardsIntact();
    if (!o.guardsIntact) {
        m_bHealthy = false;
    }
    return o;
}

Outcome Session::Call(int command) {
    Outcome o = Quiet(command);
    Print(o);
    return o;
}

void Session::Print(const Outcome& o) {
    if (m_bJson) {
        Json line{{"command", o.command},
                  {"name", CommandName(o.command)},
                  {"result", o.result},
                  {"changed", JsonChanges(o.changes)},
                  {"ms", std::round(o.millis * 10.0) / 10.0}};
        if (!o.guardsIntact) {
            line["error"] = "module wrote past the end of a record";
        }
        m_Out << DumpJson(line) << '\n';
    } else {
        char head[64];
        std::snprintf(head, sizeof head, "%2d %-12s -> %d", o.command,
                      CommandName(o.command).c_str(), o.result);
        std::string line = head;
        if (!o.changes.empty()) {
            line += "   " + FormatChanges(o.changes);
        }
        m_Out << line << '\n';
        if (!o.guardsIntact) {
            m_Out << "   error: the module wrote past the end of a record\n";
        }
    }
    if (afterCall) {
        afterCall(m_Out);
    }
    m_Out.flush();
}

void Session::PrintFields() {
    if (m_bJson) {
        Json fields = Json::object();
        for (const FieldInfo& f : Fields()) {
            fields[f.name] = f.size == 4 ? Json(m_Records.Get(f)) : Json(m_Records.Show(f));
        }
        m_Out << DumpJson(Json{{"fields", fields}}) << '\n';
        return;
    }
    for (const FieldInfo& f : Fields()) {
        char line[128];
        std::snprintf(line, sizeof line, "   %-13s %s", f.name, m_Records.Show(f).c_str());
        m_Out << line;
        if (f.kind == FieldKind::kFrames) {
            m_Out << " (" << TimeOf(m_Records.Get(f)) << ")";
        }
        m_Out << '\n';
    }
}

void Session::Run(const Step& step) {
    switch (step.kind) {
        case Step::Kind::kCommand:
            Apply(step.sets);
            Call(step.command);
            return;
        case Step::Kind::kSet: {
            const Snapshot before(m_Records);
            Apply(step.sets);
            std::vector<Change> changes = before.Diff(m_Records);
            Note(&changes);
            if (m_bJson) {
                m_Out << DumpJson(Json{{"set", JsonChanges(changes)}}) << '\n';
            } else {
                m_Out << "   set " << (changes.empty() ? "(no change)" : FormatChanges(changes))
                      << '\n';
            }
            return;
        }
        case Step::Kind::kSleep:
            std::this_thread::sleep_for(std::chrono::milliseconds(step.millis));
            return;
        case Step::Kind::kShow:
            PrintFields();
            return;
    }
}

}  // namespace hostkit
