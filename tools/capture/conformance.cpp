#include "tools/capture/conformance.h"

#include <csv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "policy_text.h"
#include "tools/capture/program.h"

namespace capture {

const char* const kBuiltInPolicy = "tapedeck5500 SD tape capture";

namespace {

constexpr std::size_t kMaxReport = 1 << 20;

struct CsvRows {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> current;
};

void OnField(void* data, std::size_t len, void* rows) {
    static_cast<CsvRows*>(rows)->current.emplace_back(static_cast<const char*>(data), len);
}

void OnRow(int, void* rows) {
    auto* r = static_cast<CsvRows*>(rows);
    r->rows.push_back(std::move(r->current));
    r->current.clear();
}

// How long a check may take: MediaConch reads the whole file, at well over 50 MB a second.
std::chrono::milliseconds CheckLimit(const std::string& file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    const auto seconds = 60 + (ec ? 0 : size / (50U << 20));
    return std::chrono::seconds(seconds);
}

}  // namespace

hostkit::Json Conformance::Json(const std::string& policy) const {
    return hostkit::Json{{"policy", policy},
                         {"verdict", !checked ? "not checked"
                                     : pass   ? "pass"
                                              : "fail"},
                         {"failed", failed},
                         {"error", error}};
}

Conformance ReadPolicyCsv(const std::string& csv, const std::string& file) {
    Conformance c;
    csv_parser parser{};
    if (csv_init(&parser, CSV_STRICT | CSV_STRICT_FINI | CSV_APPEND_NULL) != 0) {
        c.error = "cannot start the CSV reader";
        return c;
    }
    const std::unique_ptr<csv_parser, void (*)(csv_parser*)> freed(&parser, csv_free);
    CsvRows r;
    if (csv_parse(&parser, csv.data(), csv.size(), OnField, OnRow, &r) != csv.size() ||
        csv_fini(&parser, OnField, OnRow, &r) != 0) {
        c.error =
            std::string("MediaConch's report is not CSV: ") + csv_strerror(csv_error(&parser));
        return c;
    }
    if (r.rows.size() < 2 || r.rows[0].size() < 2 || r.rows[0][1] != "overall") {
        c.error = "MediaConch gave no verdict for " + file;
        return c;
    }
    const std::vector<std::string>& header = r.rows[0];
    for (std::size_t i = 1; i < r.rows.size(); ++i) {
        const std::vector<std::string>& row = r.rows[i];
        if (row.empty() || row[0] != file) {
            continue;
        }
        if (row.size() != header.size() || (row[1] != "pass" && row[1] != "fail")) {
            c.error = "MediaConch's verdict for " + file + " cannot be read";
            return c;
        }
        c.checked = true;
        c.pass = row[1] == "pass";
        for (std::size_t k = 2; k < row.size() && !c.pass; ++k) {
            if (row[k] == "fail") {
                c.failed.push_back(header[k]);
            }
        }
        if (!c.pass && c.failed.empty()) {
            c.failed.emplace_back("(no rule named)");
        }
        return c;
    }
    c.error = "MediaConch gave no verdict for " + file;
    return c;
}

PolicyCheck::~PolicyCheck() {
    if (!m_Home.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_Home, ec);
    }
}

bool PolicyCheck::Open(const std::string& policyFile, std::string* error) {
    const ProgramRun version =
        RunProgram({"mediaconch", "--Version"}, {}, std::chrono::seconds(30), 4096);
    if (!version.started || version.status != 0) {
        *error = "the check needs MediaConch, which cannot be run here (" +
                 (version.error.empty() ? "it did not answer --Version" : version.error) +
                 "): apt-get install mediaconch";
        return false;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string home =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tapedeck5500-check-XXXXXX";
    if (mkdtemp(home.data()) == nullptr) {
        *error = "cannot make a folder for MediaConch: " + std::string(std::strerror(errno));
        return false;
    }
    m_Home = home;
    if (policyFile.empty()) {
        m_Policy = m_Home + "/tapedeck5500-sd.xml";
        m_Name = kBuiltInPolicy;
        std::ofstream out(m_Policy);
        out << kBuiltInPolicyText;
        if (!out.flush()) {
            *error = "cannot write the policy to " + m_Policy;
            return false;
        }
    } else {
        if (!std::ifstream(policyFile)) {
            *error = "cannot read the policy " + policyFile;
            return false;
        }
        m_Policy = policyFile;
        m_Name = policyFile;
    }
    return true;
}

Conformance PolicyCheck::Check(const std::string& file) const {
    const ProgramRun run = RunProgram({"mediaconch", "--Force", "-p", m_Policy, "-fc", file},
                                      {{"HOME", m_Home}}, CheckLimit(file), kMaxReport);
    Conformance c;
    if (!run.started) {
        c.error = run.error;
    } else if (run.timedOut) {
        c.error = "MediaConch did not finish checking " + file + " in time";
    } else if (run.status != 0) {
        c.error = "MediaConch failed on " + file +
                  (run.error.empty() ? " (exit status " + std::to_string(run.status) + ")"
                                     : ": " + run.error);
    } else {
        c = ReadPolicyCsv(run.out, file);
    }
    return c;
}

}  // namespace capture
