// The clip log's routes: its clips, edits, CSV and EDL, and its changes on the stream.
#include "tools/panel/serve_impl.h"

namespace panel {

// The whole log for a client that connects, made once per save and shared.
StreamMessage PanelServer::Impl::LogEvent(const LogView& view) {
    std::lock_guard<std::mutex> lock(m_LogEventMutex);
    if (m_LogEvent && m_nLogEventSeq == view->seq) {
        return m_LogEvent;
    }
    auto event =
        std::make_shared<const std::string>("event: log\ndata: " + LogBody(*view) + "\n\n");
    if (!m_LogEvent || view->seq > m_nLogEventSeq) {
        m_LogEvent = event;
        m_nLogEventSeq = view->seq;
    }
    return event;
}

// On the saving thread, in the order of the saves: only what changed, as the file has it. The
// whole log goes to a client once, when it connects.
void PanelServer::Impl::PublishClips(const LogSaved& saved) {
    if (!m_Http) {
        return;
    }
    const LogState& log = *saved.view;
    const std::string deleted = DumpJson(Json(saved.deleted));
    std::size_t size = 80 + deleted.size();
    for (const std::size_t i : saved.changed) {
        size += log.spans[i].second + 1;
    }
    std::string event;
    event.reserve(size);  // an import's event can be megabytes: made once, in place
    event += "event: clips\ndata: {\"seq\":" + std::to_string(log.seq) + ",\"clips\":[";
    for (std::size_t k = 0; k < saved.changed.size(); ++k) {
        event += k == 0 ? "" : ",";
        event += log.ClipText(saved.changed[k]);
    }
    event += "],\"deleted\":" + deleted + "}\n\n";
    m_Http->Publish(std::make_shared<const std::string>(std::move(event)));
}

void PanelServer::Impl::Edl(const HttpRequest& req, HttpResponse& res) const {
    long port = 0;
    long first = 0;
    long last = 0;
    const auto number = [&req](const char* key, long hi, long* out) {
        return !req.HasParam(key) || Digits(req.Param(key), 1, hi, out);
    };
    if (!number("port", 255, &port) || !number("first", 999999999, &first) ||
        !number("last", 999999999, &last) || (last != 0 && first > last)) {
        SendError(res, 400,
                  "port must be a deck's number and first and last clip numbers, first <= last");
        return;
    }
    const std::string title = req.HasParam("title") ? req.Param("title") : "TAPEDECK 5500";
    // A hub's log holds every machine's decks: machine=M&port=N is one deck.
    const std::string edl = ClipsEdl(
        SelectClips(m_Log.View()->clips, static_cast<int>(port), first, last, req.Param("machine")),
        title);
    res.headers.emplace_back("Content-Disposition", "attachment; filename=\"cliplog.edl\"");
    SetContent(res, edl, "text/plain; charset=utf-8");
}

// A change of the log is answered by the saving thread once it is saved or refused: no
// worker waits for the disk meanwhile.
void PanelServer::Impl::Change(LogChange change, HttpResponse& res,
                               std::function<void(const LogResult&, HttpResponse&)> answer) {
    const HttpLater later = res.Later();
    const bool queued =
        m_Log.Submit(std::move(change), [later, answer = std::move(answer)](const LogResult& r) {
            HttpResponse out;
            if (r.error) {
                SendFailure(out, r.error);
            } else {
                answer(r, out);
            }
            later(std::move(out));
        });
    if (!queued) {
        HttpResponse busy;
        SendError(busy, 503, "too many changes are waiting to be saved to the clip log; try again");
        later(std::move(busy));
    }
}

void PanelServer::Impl::AddClip(const HttpRequest& req, HttpResponse& res) {
    Json body = ParseJson(req.body);
    if (!body.is_object()) {
        SendError(res, 400, "the body must be a JSON object with the clip's fields");
        return;
    }
    Change(
        LogChange::Add(std::move(body), Rates()), res,
        [](const LogResult& r, HttpResponse& out) { SendJson(out, 201, ClipJson(r.clips.at(0))); });
}

void PanelServer::Impl::EditClip(const HttpRequest& req, HttpResponse& res) {
    long id = 0;
    if (!Digits(req.matches[1], 1, 999999999, &id)) {
        SendError(res, 404, "no clip " + std::string(req.matches[1]));
        return;
    }
    Json body = ParseJson(req.body);
    if (!body.is_object()) {
        SendError(res, 400, "the body must be a JSON object with the fields to change");
        return;
    }
    Change(
        LogChange::Edit(id, std::move(body), Rates()), res,
        [](const LogResult& r, HttpResponse& out) { SendJson(out, 200, ClipJson(r.clips.at(0))); });
}

void PanelServer::Impl::DeleteClip(const HttpRequest& req, HttpResponse& res) {
    long id = 0;
    if (!Digits(req.matches[1], 1, 999999999, &id)) {
        SendError(res, 404, "no clip " + std::string(req.matches[1]));
        return;
    }
    Change(LogChange::Delete(id), res, [](const LogResult&, HttpResponse& out) {
        SendJson(out, 200, Json{{"ok", true}});
    });
}

// Read as it streams, by the saving thread, against the log as it then stands (the body moves
// there: 4 MiB is not held twice); the answer is the whole log after it.
void PanelServer::Impl::ImportCsv(HttpRequest& req, HttpResponse& res) {
    Change(LogChange::ImportCsv(std::move(req.body), Rates()), res,
           [](const LogResult& r, HttpResponse& out) { out.Json(200, LogBody(*r.view)); });
}

void PanelServer::Impl::LogRoutes() {
    HttpServer& http = *m_Http;
    http.Route("GET", "/api/log", Guarded([this](const Req&, Res& res) {
                   res.headers.emplace_back("Cache-Control", "no-store");
                   res.Json(200, LogBody(*m_Log.View()));
               }),
               kLogWorker);
    http.Route("POST", "/api/log", Guarded([this](const Req& req, Res& res) { AddClip(req, res); }),
               kLogWorker);
    http.Route("PUT", "/api/log/([^/]+)",
               Guarded([this](const Req& req, Res& res) { EditClip(req, res); }), kLogWorker);
    http.Route("DELETE", "/api/log/([^/]+)",
               Guarded([this](const Req& req, Res& res) { DeleteClip(req, res); }), kLogWorker);
    http.Route("GET", "/api/log.csv", Guarded([this](const Req&, Res& res) {
                   res.headers.emplace_back("Content-Disposition",
                                            "attachment; filename=\"cliplog.csv\"");
                   SetContent(res, ClipsCsv(m_Log.View()->clips), "text/csv; charset=utf-8");
               }),
               kLogWorker);
    http.Route("GET", "/api/log.edl", Guarded([this](const Req& req, Res& res) { Edl(req, res); }),
               kLogWorker);
    http.Route("POST", "/api/log.csv", Guarded([this](Req& req, Res& res) { ImportCsv(req, res); }),
               kLogWorker, kMaxImport);
}

}  // namespace panel
