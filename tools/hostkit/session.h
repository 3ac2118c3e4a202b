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
    // Called after each printed host call, e.g. to show the wire traffic it caused.
    std::function<void(std::ostream&)> afterCall;

  private:
    void Apply(const std::vector<Assignment>& sets);

    const Module& m_Module;
    HostRecords& m_Records;
    std::ostream& m_Out;
    bool m_bJson;
    bool m_bHealthy = true;
};

}  // namespace hostkit
