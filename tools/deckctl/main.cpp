// deckctl: drives the plug-in module the way a host does, from the command line.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "tapedeck5500_version.h"
#include "tools/deckctl/capture_cmd.h"
#include "tools/deckctl/demo.h"
#include "tools/hostkit/bitmaps.h"
#include "tools/hostkit/host_records.h"
#include "tools/hostkit/json.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/port_diagnosis.h"
#include "tools/hostkit/ports.h"
#include "tools/hostkit/script.h"
#include "tools/hostkit/session.h"
#include "tools/hostkit/timecode.h"
#include "tools/panel/serve.h"

extern char** environ;

namespace {

using namespace deckctl;
using namespace hostkit;
using namespace panel;

volatile std::sig_atomic_t g_bInterrupted = 0;

void OnInterrupt(int) {
    g_bInterrupted = 1;
}

// "N" or "N,RATE" of `serve --port`; the reason when it is neither.
std::string AddServePort(const std::string& spec, ServeOptions* options) {
    const std::size_t comma = spec.find(',');
    const std::string number = spec.substr(0, comma);
    const std::string rate = comma == std::string::npos ? "25" : spec.substr(comma + 1);
    if (number.empty() || number.size() > 3 ||
        number.find_first_not_of("0123456789") != std::string::npos || std::stoi(number) < 1 ||
        std::stoi(number) > 255) {
        return "the port must be a number from 1 to 255: " + spec;
    }
    if (FindRate(rate) == nullptr) {
        return "the rate must be one of " + RateNames() + ": " + spec;
    }
    const int port = std::stoi(number);
    options->ports.push_back(port);
    options->rates[port] = rate;
    return "";
}

int Fail(const std::string& message, int status = 1) {
    std::cerr << "deckctl: " << message << '\n';
    return status;
}

bool LoadModule(Module& module, const std::string& path) {
    const std::string chosen = path.empty() ? DefaultModulePath() : path;
    if (chosen.empty()) {
        Fail(
            "module libtapedeck5500.so not found beside deckctl or in ../lib/tapedeck5500; "
            "give --module PATH");
        return false;
    }
    std::string error;
    if (!module.Load(chosen, &error)) {
        Fail(error);
        return false;
    }
    return true;
}

int Identify(const Module& module, bool json) {
    HostRecords records;
    Session session(module, records, std::cout, json);
    const Outcome o = session.Quiet(1);
    const std::string name = records.Show(*FindField("szName"));
    const std::string id = records.Show(*FindField("idPlugin"));
    if (json) {
        std::cout << DumpJson(Json{{"command", 1},
                                   {"name", "identify"},
                                   {"result", o.result},
                                   {"szName", name.substr(1, name.size() - 2)},
                                   {"idPlugin", id},
                                   {"nIdentFlag", records.Get("nIdentFlag")}})
                  << '\n';
    } else {
        std::cout << "name     " << name << "\nid       " << id << "\nflag     "
                  << records.Get("nIdentFlag") << "\nresult   " << o.result << "\nmodule   "
                  << module.Path() << '\n';
    }
    return o.guardsIntact ? 0 : Fail("the module wrote past the end of a record");
}

// After a connect that left no deck object: why, as far as the host side can tell.
void ExplainFailedConnect(const Step& step, const HostRecords& records, bool json) {
    if (step.kind != Step::Kind::kCommand || step.command != 5 || records.Get("pDevice") != 0) {
        return;
    }
    const std::string device = hostkit::DevicePathForPort(static_cast<int>(records.Get("nPort")));
    const std::string why = hostkit::DiagnoseConnect(device);
    if (json) {
        std::cout << DumpJson(Json{{"command", 5}, {"why", why}}) << '\n';
    } else {
        std::cout << "   why: " << why << '\n';
    }
    std::cout.flush();
}

// With --rate, says once what a time shown stands for where a label is a frame pair.
void SayResolution(const RateInfo* rate, bool json) {
    if (rate != nullptr && !json && Resolution(rate->base) > 1) {
        std::cout << "   " << RateWords(*rate) << ": the line carries frame pairs; each time "
                  << "shown is a pair's first frame\n";
    }
}

int RunScript(const Module& module, int port, const RateInfo* rate, const std::string& script,
              bool json) {
    std::vector<Step> steps;
    try {
        steps = ParseScript(script);
    } catch (const ScriptError& e) {
        return Fail(e.what(), 2);
    }
    HostRecords records;
    records.Set("nPort", port);
    Session session(module, records, std::cout, json);
    session.SetRate(rate);
    SayResolution(rate, json);
    for (const Step& step : steps) {
        try {
            session.Run(step);
        } catch (const ScriptError& e) {
            return Fail("'" + step.text + "': " + e.what(), 2);
        }
        ExplainFailedConnect(step, records, json);
    }
    return session.Healthy() ? 0 : Fail("the module wrote past the end of a record");
}

int Shell(const Module& module, int port, const RateInfo* rate, bool json) {
    HostRecords records;
    records.Set("nPort", port);
    Session session(module, records, std::cout, json);
    session.SetRate(rate);
    SayResolution(rate, json);
    const bool interactive = isatty(STDIN_FILENO);
    if (interactive) {
        std::cout << "host commands by name or number, set FIELD=VALUE, show, sleep MS; "
                     "help, quit\n";
    }
    std::string line;
    int status = 0;
    for (;;) {
        if (interactive) {
            std::cout << "deckctl> " << std::flush;
        }
        if (!std::getline(std::cin, line) || line == "quit" || line == "exit") {
            break;
        }
        if (line == "help") {
            for (const CommandInfo& c : Commands()) {
                std::printf("%3d %-13s %s\n", c.number, c.name, c.help);
            }
            std::fflush(stdout);
            continue;
        }
        try {
            for (const Step& step : ParseScript(line)) {
                session.Run(step);
                ExplainFailedConnect(step, records, json);
            }
        } catch (const ScriptError& e) {
            std::cerr << "deckctl: " << e.what() << '\n';
            status = 2;  // a piped script with a mistake still ends nonzero
        }
    }
    if (interactive) {
        std::cout << '\n';
    }
    if (records.Get("pDevice") != 0) {
        session.Quiet(6);  // leave the port free for the next user
    }
    return session.Healthy() ? status : Fail("the module wrote past the end of a record");
}

int Watch(const Module& module, int port, const RateInfo* rate, int intervalMs, int count,
          bool json) {
    HostRecords records;
    records.Set("nPort", port);
    Session session(module, records, std::cout, json);
    session.SetRate(rate);
    if (session.Quiet(5).result != 1) {
        return Fail("cannot connect on port " + std::to_string(port) + ": " +
                    hostkit::DiagnoseConnect(hostkit::DevicePathForPort(port)));
    }
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    SayResolution(rate, json);
    for (int n = 0; !g_bInterrupted && (count <= 0 || n < count); ++n) {
        // A read the deck did not answer gives 0 frames, which is no time the deck had.
        const bool answered = session.Quiet(25).result == 1;
        const int64_t read = records.Get("nFrames");
        const std::string tc = session.TimeOf(read);
        // With a rate, the real frames the time stands for; else the module's count.
        int64_t frames = read;
        if (rate != nullptr) {
            frames = LabelsToFrames(LabelsOfModuleCount(read, rate->base), rate->base);
        }
        if (json) {
            Json line = answered ? Json{{"nFrames", read}, {"timecode", tc}}
                                 : Json{{"nFrames", nullptr}, {"timecode", nullptr}};
            if (rate != nullptr) {
                line["frames"] = answered ? Json(frames) : Json(nullptr);
                line["rate"] = rate->name;
                line["resolution"] = Resolution(rate->base);
            }
            std::cout << DumpJson(line) << '\n';
        } else if (answered) {
            std::printf("\r%-13s %10lld frames ", tc.c_str(), static_cast<long long>(frames));
        } else {
            std::printf("\r%-13s %10s        ", "no answer", "");
        }
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    }
    if (!json) {
        std::printf("\n");
    }
    session.Quiet(6);
    return 0;
}

int Ports(bool json) {
    const std::vector<PortEntry> ports = ListPorts(environ);
    if (ports.empty() && !json) {
        std::cout << "no serial devices found; set TAPEDECK_COM<N>=PATH to map port N\n";
    }
    for (const PortEntry& p : ports) {
        const hostkit::DriverInfo driver = hostkit::ReadDriver(p.device);
        const std::string latencyNote = hostkit::LatencyNote(driver);
        if (json) {
            std::cout << DumpJson(Json{{"port", p.port},
                                       {"device", p.device},
                                       {"source", p.source},
                                       {"exists", p.exists},
                                       {"access", p.accessible},
                                       {"driver", driver.name},
                                       {"latencyMs", driver.latencyMs >= 0 ? Json(driver.latencyMs)
                                                                           : Json(nullptr)},
                                       {"latencyNote", latencyNote}})
                      << '\n';
            continue;
        }
        const std::string port = p.port > 0 ? "port " + std::to_string(p.port) : "no port";
        std::string note = !p.exists ? "missing" : p.accessible ? "ok" : "no access";
        if (p.port == 0) {
            note += ", set TAPEDECK_COM<N>=" + p.device + " to use it";
        }
        std::string drv = driver.name.empty() ? "-" : driver.name;
        if (driver.latencyMs >= 0) {
            drv += " " + std::to_string(driver.latencyMs) + " ms";
        }
        std::printf("%-8s %-20s %-16s %-18s %s\n", port.c_str(), p.device.c_str(), p.source.c_str(),
                    drv.c_str(), note.c_str());
        if (!latencyNote.empty()) {
            std::printf("%-8s %s\n", "", latencyNote.c_str());
        }
    }
    return 0;
}

int Bitmaps(const Module& module, const std::string& dir) {
    std::string error;
    const FindPanelBitmapFn find = FindBitmapLookup(module, &error);
    if (find == nullptr || !WritePanelBitmaps(find, dir, std::cout, &error)) {
        return Fail(error);
    }
    return 0;
}

std::string ReadAll(std::istream& in) {
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// What the command line gave, filled by CLI11.
struct Options {
    std::string modulePath;
    bool json = false;
    int port = 1;
    std::vector<std::string> script;
    std::string scriptFile;
    int interval = 40;
    int count = 0;
    std::string rate;  // empty: timecodes at the record's video format
    std::string bitmapDir;
    ServeOptions serve;
    CaptureOptions capture;
};

struct Subcommands {
    CLI::App* identify;
    CLI::App* run;
    CLI::App* shell;
    CLI::App* watch;
    CLI::App* ports;
    CLI::App* demo;
    CLI::App* bitmaps;
    CLI::App* serve;
    CLI::App* capture;
};

void AddTopLevel(CLI::App& app, Options& o) {
    app.footer(
        "Each subcommand takes --help for its own options.\n"
        "\n"
        "Port N opens the device in the environment variable TAPEDECK_COM<N> when set, else\n"
        "/dev/ttyS<N-1>. Without --module, deckctl loads libtapedeck5500.so from its build\n"
        "tree, else from ../lib/tapedeck5500 beside its own folder (/usr/lib/tapedeck5500\n"
        "when installed), ../lib, or its own folder.\n"
        "\n"
        "Examples:\n"
        "  deckctl identify         load the module and show its name and path\n"
        "  deckctl demo             a whole session against the built-in virtual deck\n"
        "  deckctl run --port 1 \"connect; status; play; poll; position\"\n"
        "                           a script of host commands on port 1\n"
        "  TAPEDECK_COM1=/tmp/deck deckctl shell --port 1\n"
        "                           type host commands to the deck at /tmp/deck\n"
        "  deckctl watch --port 1   the deck's running time, until Ctrl-C\n"
        "  deckctl capture --port 1 --input unix:/tmp/deck.video --folder clips\n"
        "                           the clip log's clips of port 1 into files");
    app.require_subcommand(1);
    app.set_version_flag("--version", "deckctl " TAPEDECK_VERSION);
    app.add_option("--module", o.modulePath, "the plug-in module to load")
        ->option_text("PATH")
        ->check(CLI::ExistingFile);
    app.add_flag("--json", o.json, "one JSON object per host command");
}

// --rate of run, shell and watch.
void AddRate(CLI::App* sub, Options& o) {
    sub->add_option("--rate", o.rate,
                    "the deck's rate (" + RateNames() +
                        "): timecodes are its labels, counted as serve counts them (video "
                        "format 0x400; above 30 fps frame pairs); without it, timecodes count "
                        "at the record's video format")
        ->check([](const std::string& r) {
            return FindRate(r) != nullptr ? "" : "the rate must be one of " + RateNames();
        });
}

CLI::App* AddRun(CLI::App& app, Options& o) {
    auto* run = app.add_subcommand("run", "run a script of host commands");
    run->add_option("--port", o.port, "serial port number (nPort)")->check(CLI::Range(1, 255));
    AddRate(run, o);
    run->add_option("script", o.script, "statements separated by ';' or newlines");
    run->add_option("-f,--file", o.scriptFile, "read the script from a file ('-' for stdin)");
    run->footer(
        "Statements: host commands by name or number (identify connect disconnect cue cue-offset\n"
        "play poll status16 status17 status18 idle update position status29 ready status\n"
        "video-system speed varspeed), with values for their fields: connect 2, cue 00:01:00:00,\n"
        "cue-offset POS OFFSET, speed -2, varspeed 3; set FIELD=VALUE (timecodes where frames\n"
        "are expected); sleep MS; show. Example:\n"
        "  deckctl run --port 1 \"connect; status; play; poll; cue 00:01:00:00; position\"");
    return run;
}

CLI::App* AddWatch(CLI::App& app, Options& o) {
    auto* watch = app.add_subcommand("watch", "show the deck's running time until interrupted");
    watch->add_option("--port", o.port, "serial port number (nPort)")->check(CLI::Range(1, 255));
    AddRate(watch, o);
    watch->add_option("--interval", o.interval, "milliseconds between reads")
        ->check(CLI::Range(1, 10000));
    watch->add_option("--count", o.count, "stop after this many reads (0: until interrupted)")
        ->check(CLI::NonNegativeNumber);
    return watch;
}

CLI::App* AddBitmaps(CLI::App& app, Options& o) {
    auto* bitmaps = app.add_subcommand(
        "bitmaps", "write the module's panel bitmaps and a preview of them laid out on the panel");
    bitmaps->add_option("--out", o.bitmapDir, "folder for the .bmp files (created if missing)")
        ->required();
    bitmaps->fallthrough();  // so --module may follow, as in `deckctl bitmaps --out D --module M`
    return bitmaps;
}

CLI::App* AddServe(CLI::App& app, ServeOptions& so) {
    auto* serve = app.add_subcommand(
        "serve", "serve the deck's panel and an HTTP API for it (open the printed URL)");
    serve
        ->add_option_function<std::vector<std::string>>(
            "--port",
            [&so](const std::vector<std::string>& specs) {
                for (const std::string& spec : specs) {
                    AddServePort(spec, &so);  // checked below
                }
            },
            "a deck's serial port number, with its rate after a comma (25 when none: " +
                RateNames() + "), e.g. 2,29.97df; repeat for more")
        ->option_text("N[,RATE]")
        ->check([](const std::string& spec) {
            ServeOptions scratch;
            return AddServePort(spec, &scratch);
        });
    serve->add_option("--listen", so.listen,
                      "ADDR:PORT to listen on (default 127.0.0.1:8055; port 0 picks one)");
    serve->add_flag("--sim", so.sim, "a built-in virtual deck on every port");
    serve
        ->add_option("--sim-baud", so.simBaud,
                     "pace the virtual decks like a serial line at this rate, e.g. 9600")
        ->check(CLI::Range(1, 10000000));
    serve->add_option("--log", so.logPath,
                      "the clip log file (default ${XDG_DATA_HOME:-~/.local/share}/tapedeck5500/"
                      "cliplog.json)");
    serve->add_option("--token", so.token,
                      "fix the secret every request must carry (other users can read it in the "
                      "process list: prefer --token-file or TAPEDECK_TOKEN); made up otherwise");
    serve->add_option("--token-file", so.tokenFile,
                      "fix the secret every request must carry: this file's first line");
    serve->add_flag("--quiet", so.quiet,
                    "no error log on stderr (5xx answers, connections refused past a limit, "
                    "decks lost or back)");
    broker::BrokerOptions& b = so.broker;
    serve->add_option("--broker", b.url,
                      "join an MQTT broker, mqtt://HOST:PORT or mqtts://HOST:PORT, as a machine "
                      "(--machine) or as the hub (--hub)");
    serve->add_option("--machine", b.machine,
                      "this server's name on the broker: its decks are MACHINE:PORT to a hub");
    serve->add_flag("--hub", b.hub,
                    "serve every machine's decks seen on the broker (no decks of its own)");
    serve->add_option("--broker-user", b.user,
                      "the broker's user name (default the machine's name, or 'hub')");
    serve->add_option("--broker-password-file", b.passwordFile,
                      "the broker's password: this file's first line");
    serve->add_option("--broker-ca", b.caFile,
                      "mqtts: the CA certificate the broker's certificate is signed by (default: "
                      "the system's CAs)");
    serve
        ->add_option("--broker-keepalive", b.keepalive,
                     "seconds between signs of life (default 10); the broker declares the "
                     "machine offline after 1.5 times this")
        ->check(CLI::Range(5, 3600));
    serve
        ->add_option("--capture-input", so.captureInputs,
                     "an input the page may capture from (any FFmpeg input: unix:PATH for "
                     "decksim's picture, /dev/video0); repeat for more")
        ->option_text("URL");
    serve->add_option("--capture-folder", so.captureFolder,
                      "the folder captured files go below (made if missing); a client names a "
                      "folder in it");
    serve->add_option("--capture-calibration", so.captureCalibration,
                      "the capture offsets file (default ${XDG_DATA_HOME:-~/.local/share}/"
                      "tapedeck5500/capture.json, as deckctl capture's)");
    serve->add_flag("--sim-video", so.simVideo,
                    "give each virtual deck its picture, as decksim --video does, as an input "
                    "to capture from");
    serve->fallthrough();
    return serve;
}

// Every subcommand, in the order --help lists them.
Subcommands AddSubcommands(CLI::App& app, Options& o) {
    Subcommands c{};
    c.identify = app.add_subcommand("identify", "load the module and identify it");
    c.run = AddRun(app, o);
    c.shell = app.add_subcommand("shell", "type host commands interactively");
    c.shell->add_option("--port", o.port, "serial port number (nPort)")->check(CLI::Range(1, 255));
    AddRate(c.shell, o);
    c.watch = AddWatch(app, o);
    c.ports = app.add_subcommand("ports", "list serial devices and their port numbers");
    c.demo = app.add_subcommand("demo", "run a session against a built-in virtual deck");
    c.bitmaps = AddBitmaps(app, o);
    c.serve = AddServe(app, o.serve);
    c.capture = AddCapture(app, o.capture);
    return c;
}

// `run`: the script from --file (or stdin), then the statements given on the command line.
int RunCommand(const Module& module, const Options& o) {
    std::string text;
    if (!o.scriptFile.empty()) {
        if (o.scriptFile == "-") {
            text = ReadAll(std::cin);
        } else {
            std::ifstream in(o.scriptFile);
            if (!in) {
                return Fail("cannot read " + o.scriptFile, 2);
            }
            text = ReadAll(in);
        }
    }
    for (const std::string& s : o.script) {
        text += (text.empty() ? "" : "\n") + s;
    }
    if (text.find_first_not_of(" \t\r\n;") == std::string::npos) {
        return Fail("run needs a script, e.g. deckctl run --port 1 \"connect; status\"", 2);
    }
    return RunScript(module, o.port, FindRate(o.rate), text, o.json);
}

int Dispatch(const Subcommands& c, const Options& o) {
    if (c.ports->parsed()) {
        return Ports(o.json);
    }
    Module module;
    if (!LoadModule(module, o.modulePath)) {
        return 1;
    }
    if (c.identify->parsed()) {
        return Identify(module, o.json);
    }
    if (c.run->parsed()) {
        return RunCommand(module, o);
    }
    if (c.shell->parsed()) {
        return Shell(module, o.port, FindRate(o.rate), o.json);
    }
    if (c.watch->parsed()) {
        return Watch(module, o.port, FindRate(o.rate), o.interval, o.count, o.json);
    }
    if (c.demo->parsed()) {
        return RunDemo(module, std::cout, o.json);
    }
    if (c.bitmaps->parsed()) {
        return Bitmaps(module, o.bitmapDir);
    }
    if (c.serve->parsed()) {
        return RunServe(module, o.serve, std::cout);
    }
    if (c.capture->parsed()) {
        return RunCapture(module, o.capture, o.json, std::cout);
    }
    return 0;
}

int Run(int argc, char** argv) {
    // Named here, so that --help (and the manual page made from it) does not show argv[0].
    CLI::App app{"deckctl: drives the Tapedeck 5500 plug-in module the way a host does", "deckctl"};
    Options options;
    AddTopLevel(app, options);
    const Subcommands commands = AddSubcommands(app, options);
    CLI11_PARSE(app, argc, argv);
    return Dispatch(commands, options);
}

}  // namespace

int main(int argc, char** argv) {
    // Anything not handled on the way (out of memory, a failed stream) ends in one line, not abort.
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        return Fail(std::string("unexpected error: ") + e.what());
    } catch (...) {
        return Fail("unexpected error");
    }
}
