// Runs script steps against the module and prints what each host call did.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/hostkit/host_records.h"
#include "tools/hostkit/json.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/script.h"
#include "tools/hostkit/timecode.h"

namespace hostkit {

struct Outcome {
    int command = 0;
    int result = 0;
    std::vector<Change> changes;
    double millis = 0.0;
    bool guardsIntact = true;
};

class Session {
  public:
    Session(const Module& module, HostRecords& records, std::ostream& out, bool json);

    // Runs one step and prints it. Throws ScriptError for a value that does not resolve.
    void Run(const Step& step);
    // One host call, printed; returns what it did.
    Outcome Call(int command);
    // One host call, not printed.
    Outcome Quiet(int command);

    void Print(const Outcome& outcome);
    void PrintFields();

    // False once the module wrote past a record.
    bool Healthy() const { return m_bHealthy; }
    // The deck's rate, as a host that knows it counts: the record's video format becomes
    // hostkit::ModuleFormat, and timecodes, given and shown, are the rate's labels carried
    // through the module's count (above 30 fps a pair's first frame; a frame the line cannot
    // carry is refused). Without one, timecodes count at the record's video format.
    void SetRate(const RateInfo* rate);
    // A frame count of the records (nFrames, nPosition) as a timecode.
    std::string TimeOf(int64_t count) const;
    // Called after each printed host call, e.g. to show the wire traffic it caused.
    std::function<void(std::ostream&)> afterCall;
    // Called on the fresh parameter block before each call, e.g. to fill a field the command
    // must overwrite, so that a call that wrote nothing shows.
    std::function<void(HostRecords&)> beforeCall;

  private:
    void Apply(const std::vector<Assignment>& sets);
    int64_t Count(const Assignment& a) const;
    void Note(std::vector<Change>* changes) const;

    const Module& m_Module;
    HostRecords& m_Records;
    std::ostream& m_Out;
    bool m_bJson;
    bool m_bHealthy = true;
    const RateInfo* m_pRate = nullptr;
};

}  // namespace hostkit
