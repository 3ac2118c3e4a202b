// The panel server's inside, shared by its start-up (serve.cpp) and its routes, one file for
// each kind of thing they serve: the page and its screen (page_routes.cpp), the decks
// (deck_routes.cpp), the clip log (log_routes.cpp) and the captures (capture_routes.cpp).
#pragma once

#include <arpa/inet.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>
#include <thread>

#include "tools/broker/hub_link.h"
#include "tools/cliplog/clip_export.h"
#include "tools/cliplog/clip_log.h"
#include "tools/decks/deck_action.h"
#include "tools/decks/deck_worker.h"
#include "tools/decks/format_gate.h"
#include "tools/decksim/pty_server.h"
#include "tools/decksim/video_stream.h"
#include "tools/hostkit/bitmaps.h"
#include "tools/hostkit/timecode.h"
#include "tools/http/http_server.h"
#include "tools/http/token.h"
#include "tools/panel/capture_batches.h"
#include "tools/panel/panel_assets.h"
#include "tools/panel/serve.h"

namespace panel {

using cliplog::ClipError;
using cliplog::ClipJson;
using cliplog::ClipLimit;
using cliplog::ClipLog;
using cliplog::ClipsCsv;
using cliplog::ClipsEdl;
using cliplog::DefaultClipLogPath;
using cliplog::ExportConflict;
using cliplog::LogChange;
using cliplog::LogResult;
using cliplog::LogSaved;
using cliplog::LogState;
using cliplog::LogView;
using cliplog::RateOfDeck;
using cliplog::SelectClips;
using decks::ActionAnswer;
using decks::DeckState;
using decks::DeckWorker;
using decks::FormatGate;
using decks::RunDeckAction;
using hostkit::DumpJson;
using hostkit::Json;
using hostkit::Module;
using hostkit::ParseJson;
using http::HttpHandler;
using http::HttpLater;
using http::HttpOptions;
using http::HttpRequest;
using http::HttpResponse;
using http::HttpRun;
using http::HttpServer;
using http::HttpVerdict;
using http::ResolveToken;
using http::SameToken;
using http::StreamMessage;
using http::TokenFile;

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// A CSV import carries a day's logging: 20,000 clips fit with room to spare.
inline constexpr std::size_t kMaxImport = std::size_t{4} << 20;
// The deck threads' exchanges are timed by the line; when the CPUs are short, reading
// requests and feeding the stream's watchers should wait rather than they. Commands keep the
// normal priority: their handlers run on the HTTP layer's workers.
inline constexpr int kStreamNice = 5;
// HTTP workers beyond those the decks' waiting commands may hold.
inline constexpr int kSpareWorkers = 32;

inline void LowerPriority() {
    thread_local bool t_bLowered = false;
    if (!t_bLowered) {
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kStreamNice);
        t_bLowered = true;
    }
}
// At most one state message every 20 ms: 50 a second, twice the frame rate.
inline constexpr Millis kStreamInterval{20};
// A comment line now and then finds clients that went away while the deck was idle.
inline constexpr Millis kStreamKeepAlive{10000};

inline std::string Lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

inline void SendJson(HttpResponse& res, int status, const Json& body) {
    res.Json(status, DumpJson(body));
}

inline void SendError(HttpResponse& res, int status, const std::string& words) {
    res.Error(status, words);
}

// A failure as the client hears it: in words, with the status its kind calls for.
inline void SendFailure(HttpResponse& res, const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ClipError& e) {
        SendError(res, 400, e.what());
    } catch (const ClipLimit& e) {
        SendError(res, 413, e.what());
    } catch (const ExportConflict& e) {
        SendError(res, 409, e.what());
    } catch (const std::out_of_range& e) {
        SendError(res, 404, e.what());
    } catch (const std::exception& e) {
        SendError(res, 500, e.what());
    } catch (...) {
        SendError(res, 500, "the server failed on this request");
    }
}

// {"seq": N, "clips": [CLIP, ...]}, the clips as the file has them: not encoded again. seq
// counts the log's saves, as the stream's changes carry it.
inline std::string LogBody(const LogState& log) {
    const std::string_view clips = log.ClipsJson();
    std::string body;
    body.reserve(clips.size() + 40);
    body += "{\"seq\":" + std::to_string(log.seq) + ",\"clips\":";
    body += clips;
    body += "}";
    return body;
}

inline void SetContent(HttpResponse& res, std::string body, const std::string& type) {
    res.body = std::move(body);
    res.contentType = type;
}

inline std::string ContentType(const std::string& path) {
    static const std::map<std::string, std::string> types = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".bmp", "image/bmp"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
        {".woff2", "font/woff2"},
    };
    const std::size_t dot = path.rfind('.');
    const auto it = dot == std::string::npos ? types.end() : types.find(Lower(path.substr(dot)));
    return it != types.end() ? it->second : "application/octet-stream";
}

// A whole number written in decimal digits only, within [lo, hi].
inline bool Digits(const std::string& s, long lo, long hi, long* out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const long v = std::stol(s);
    if (v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}

inline bool IsIpLiteral(const std::string& host) {
    unsigned char buf[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), buf) == 1;
    }
    return inet_pton(AF_INET, host.c_str(), buf) == 1;
}

inline bool IsLoopback(const std::string& addr) {
    unsigned char buf[16];
    if (addr == "localhost") {
        return true;
    }
    if (inet_pton(AF_INET, addr.c_str(), buf) == 1) {
        return buf[0] == 127;
    }
    return addr == "::1";
}

inline const hostkit::RateInfo* RateFor(const ServeOptions& options, int port) {
    const auto it = options.rates.find(port);
    const hostkit::RateInfo* rate =
        it != options.rates.end() ? hostkit::FindRate(it->second) : nullptr;
    return rate != nullptr ? rate : hostkit::FindRate("25");
}

inline std::string Event(const char* name, const Json& data) {
    return std::string("event: ") + name + "\ndata: " + DumpJson(data) + "\n\n";
}

using Req = HttpRequest;
using Res = HttpResponse;
inline constexpr HttpRun kWorker = HttpRun::kWorker;
// The log's handlers: they never wait for its disk (reads take the last saved state, changes
// are answered by the saving thread), and on a pool of their own they never hold a deck's.
inline constexpr HttpRun kLogWorker = HttpRun::kSideWorker;
// Client mistakes and failures of the log file become JSON errors, never a crash; a handler
// that answers later gets its failure answered there.
template <typename Handler>
HttpHandler Guarded(Handler handler) {
    return [handler](Req& req, Res& res) {
        try {
            handler(req, res);
        } catch (...) {
            if (res.Deferred()) {
                HttpResponse failed;
                SendFailure(failed, std::current_exception());
                res.Later()(std::move(failed));
            } else {
                SendFailure(res, std::current_exception());
            }
        }
    };
}

class PanelServer::Impl {
  public:
    Impl(const Module& module, ServeOptions options)
        : m_Module(module), m_Options(std::move(options)) {
        // A hub's decks are the machines' on the broker; a server's own, port 1 when none.
        if (m_Options.ports.empty() && !m_Options.broker.hub) {
            m_Options.ports.push_back(1);
        }
        for (const PanelAsset* a = PanelAssets(); a->path != nullptr; ++a) {
            m_Assets[a->path] = a;
        }
    }

    ~Impl() { Stop(); }

    bool Start(std::string* error);
    void Stop();
    std::string Url() const;
    int Port() const { return m_Http ? m_Http->Port() : 0; }
    std::vector<std::string> Describe() const { return m_Description; }

  private:
    bool ParseListen(std::string* error);
    bool StartDecks(std::string* error);
    bool StartSim(int port, DeckWorker::StatusSource* status, std::string* error);
    void Routes();
    void DeckRoutes();
    void LogRoutes();
    void CaptureRoutes();
    bool StartCaptures(std::string* error);
    void Captures(HttpResponse& res, const std::function<ActionAnswer()>& run);
    bool Listen(std::string* error);
    bool CheckBroker(std::string* error);
    bool JoinBroker(std::string* error);
    HttpVerdict Screen(const HttpRequest& req) const;
    bool HostOk(const HttpRequest& req) const;
    std::string GivenToken(const HttpRequest& req) const;
    bool PageFile(const std::string& path) const;
    void Broadcast();
    void NoteAnswering();
    static void ErrorLine(const std::string& line);
    void Changed();
    Json DecksJson() const;
    DeckWorker* Find(const std::string& port) const;
    const hostkit::RateInfo* RateOf(int port) const;
    RateOfDeck Rates() const {
        return [this](const std::string& machine, int port) {
            return m_Hub ? m_Hub->RateOf(machine, port) : machine.empty() ? RateOf(port) : nullptr;
        };
    }
    void PublishClips(const LogSaved& saved);
    StreamMessage LogEvent(const LogView& view);
    void Change(LogChange change, HttpResponse& res,
                std::function<void(const LogResult&, HttpResponse&)> answer);
    void Edl(const HttpRequest& req, HttpResponse& res) const;

    void GetPage(const HttpRequest& req, HttpResponse& res) const;
    void GetAsset(const std::string& path, HttpResponse& res) const;
    void GetArt(const HttpRequest& req, HttpResponse& res) const;
    void Events(HttpResponse& res);
    void Action(const HttpRequest& req, HttpResponse& res);
    void AddClip(const HttpRequest& req, HttpResponse& res);
    void EditClip(const HttpRequest& req, HttpResponse& res);
    void DeleteClip(const HttpRequest& req, HttpResponse& res);
    void ImportCsv(HttpRequest& req, HttpResponse& res);

    const Module& m_Module;
    ServeOptions m_Options;
    std::map<std::string, const PanelAsset*> m_Assets;
    hostkit::FindPanelBitmapFn m_FindBitmap = nullptr;

    std::string m_ListenHost;
    int m_nListenPort = 0;
    bool m_bLoopback = true;
    bool m_bWildcard = false;
    std::string m_SimDir;
    std::vector<std::unique_ptr<decksim::PtyServer>> m_Sims;
    std::vector<std::unique_ptr<decksim::VideoStream>> m_SimPictures;
    std::map<int, std::unique_ptr<DeckWorker>> m_Decks;
    std::unique_ptr<CaptureBatches> m_Captures;
    std::vector<std::string> m_Description;
    ClipLog m_Log;
    FormatGate m_Gate;  // every deck's calls of Main
    std::mutex m_LogEventMutex;
    StreamMessage m_LogEvent;  // the whole log as a stream event, made once a save
    uint64_t m_nLogEventSeq = 0;
    std::string m_Token;
    TokenFile m_TokenFile;
    std::map<int, bool> m_Answering;  // the broadcaster's last view, for the error log
    broker::LinkOptions m_Link;
    std::unique_ptr<broker::MachineLink> m_Machine;  // --machine: this server's decks
    std::unique_ptr<broker::HubLink> m_Hub;          // --hub: every machine's decks

    std::unique_ptr<HttpServer> m_Http;
    std::thread m_Broadcaster;
    std::mutex m_Mutex;  // guards m_bDirty and m_bStopping for the broadcaster
    std::condition_variable m_Dirty;
    bool m_bDirty = true;
    bool m_bStopping = false;
    bool m_bStarted = false;
};

}  // namespace panel
