// The decks' routes: their list, their event stream and their actions.
#include "tools/panel/serve_impl.h"

namespace panel {

void PanelServer::Impl::Events(HttpResponse& res) {
    // The whole state first, made once the stream is registered: what is published meanwhile
    // follows it, and the page skips the log's changes its state already holds (by seq). A
    // client that falls 64 messages behind is dropped by the HTTP layer.
    res.StartStream([this] {
        std::vector<StreamMessage> first{
            std::make_shared<const std::string>("retry: 1000\n" + Event("decks", DecksJson())),
            LogEvent(m_Log.View())};
        for (const Json& batch : m_Captures->Batches()) {
            first.push_back(std::make_shared<const std::string>(Event("capture", batch)));
        }
        return first;
    });
    res.headers.emplace_back("Cache-Control", "no-store");
    res.headers.emplace_back("X-Accel-Buffering", "no");
}

void PanelServer::Impl::Action(const HttpRequest& req, HttpResponse& res) {
    if (m_Hub) {
        // Through the broker to the deck's machine; the answer comes back when it does.
        m_Hub->Command(req.matches[1], req.matches[2], req.body,
                       [later = res.Later()](const ActionAnswer& answer) {
                           HttpResponse out;
                           SendJson(out, answer.status, answer.body);
                           later(std::move(out));
                       });
        return;
    }
    const ActionAnswer answer =
        RunDeckAction(Find(req.matches[1]), req.matches[1], req.matches[2], req.body);
    SendJson(res, answer.status, answer.body);
}

void PanelServer::Impl::DeckRoutes() {
    HttpServer& http = *m_Http;
    http.Route("GET", "/", Guarded([this](const Req& req, Res& res) { GetPage(req, res); }));
    http.Route("GET", "/art/(.+)", Guarded([this](const Req& req, Res& res) { GetArt(req, res); }));
    http.Route("GET", "/api/decks", Guarded([this](const Req&, Res& res) {
                   res.headers.emplace_back("Cache-Control", "no-store");
                   SendJson(res, 200, DecksJson());
               }));
    // Its first state holds the whole log: made on the log's workers.
    http.Route("GET", "/api/events", Guarded([this](const Req&, Res& res) { Events(res); }),
               kLogWorker);
    http.Route("POST", "/api/decks/([^/]+)/([^/]+)",
               Guarded([this](const Req& req, Res& res) { Action(req, res); }), kWorker);
}

}  // namespace panel
