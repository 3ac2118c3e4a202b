// The captures' routes: a batch's start, its calibration, its cancel and the list.
#include "tools/panel/serve_impl.h"

namespace panel {

// A batch's start, its calibration and its cancel answer at once; its thread does the rest.
void PanelServer::Impl::Captures(HttpResponse& res, const std::function<ActionAnswer()>& run) {
    if (m_Hub) {
        SendError(res, 409,
                  "a hub has no decks of its own: capture on the machine whose deck plays the "
                  "tape, through its own page or API");
        return;
    }
    const ActionAnswer answer = run();
    SendJson(res, answer.status, answer.body);
}

void PanelServer::Impl::CaptureRoutes() {
    HttpServer& http = *m_Http;
    // It lists the folders below the capture folder: the disk, so the second pool.
    http.Route("GET", "/api/capture", Guarded([this](const Req& req, Res& res) {
                   long port = 0;
                   if (req.HasParam("port") && !Digits(req.Param("port"), 1, 255, &port)) {
                       SendError(res, 400, "port must be a deck's number");
                       return;
                   }
                   res.headers.emplace_back("Cache-Control", "no-store");
                   SendJson(res, 200, m_Captures->List(static_cast<int>(port)));
               }),
               kLogWorker);
    http.Route("POST", "/api/capture", Guarded([this](const Req& req, Res& res) {
                   Captures(res, [&] { return m_Captures->Start(req.body, m_Log.View()->clips); });
               }),
               kWorker);
    http.Route("POST", "/api/capture/calibrate", Guarded([this](const Req& req, Res& res) {
                   Captures(res, [&] { return m_Captures->Calibrate(req.body); });
               }),
               kWorker);
    http.Route("POST", "/api/capture/cancel", Guarded([this](const Req& req, Res& res) {
                   Captures(res, [&] { return m_Captures->Cancel(req.body); });
               }),
               kWorker);
    http.Route("DELETE", "/api/capture", Guarded([this](const Req& req, Res& res) {
                   long port = 0;
                   if (req.HasParam("port") && !Digits(req.Param("port"), 1, 255, &port)) {
                       SendError(res, 400, "port must be a deck's number");
                       return;
                   }
                   const std::string body = port ? DumpJson(Json{{"port", port}}) : "{}";
                   Captures(res, [&] { return m_Captures->Cancel(body); });
               }),
               kWorker);
}

}  // namespace panel
