// The check of a finished file against a MediaConch policy: ours, built in (a copy is installed
// for archives' own use), or the user's. MediaConch runs as a program of its own, in a home of
// its own so that its cache never answers for an earlier file of the same name.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "tools/hostkit/json.h"

namespace capture {

// The policy's name, as it stands in the built-in policy file.
extern const char* const kBuiltInPolicy;

struct Conformance {
    bool checked = false;  // false: the check could not be made (`error` says why)
    bool pass = false;
    std::vector<std::string> failed;  // the rules or groups of rules the file failed
    std::string error;
    hostkit::Json Json(const std::string& policy) const;
};

// MediaConch's CSV report of one file: the header names the rules; the row, the file's
// outcome and each rule's. The outcome for `file`, or checked false with the reason.
Conformance ReadPolicyCsv(const std::string& csv, const std::string& file);

class PolicyCheck {
  public:
    PolicyCheck() = default;
    ~PolicyCheck();
    PolicyCheck(const PolicyCheck&) = delete;
    PolicyCheck& operator=(const PolicyCheck&) = delete;

    // Ready to check against `policyFile`, or the built-in policy when it is ""; false with
    // the reason when MediaConch cannot run or the policy cannot be read.
    bool Open(const std::string& policyFile, std::string* error);
    // The policy's name for the report: the built-in one's, or the file given.
    const std::string& Name() const { return m_Name; }
    Conformance Check(const std::string& file) const;

  private:
    std::string m_Home;  // MediaConch's own, removed with this
    std::string m_Policy;
    std::string m_Name;
};

}  // namespace capture
