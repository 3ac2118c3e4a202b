// The captures' routes: a batch's start, its calibration, its cancel and the list.
#include "tools/capture/preview.h"
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
    // The deck's input as the page previews it: its latest picture as JPEG (the meters come
    // on the event stream). A copy of a few kilobytes: no disk, no deck.
    http.Route("GET", "/api/capture/preview", Guarded([this](const Req& req, Res& res) {
                   long port = 1;
                   if (req.HasParam("port") && !Digits(req.Param("port"), 1, 255, &port)) {
                       SendError(res, 400, "port must be a deck's number");
                       return;
                   }
                   capture::PreviewFrame frame;
                   std::string why;
                   if (m_Hub || !m_Captures->LatestPreview(static_cast<int>(port), &frame, &why)) {
                       SendError(res, 404, m_Hub ? "a hub has no inputs of its own" : why);
                       return;
                   }
                   res.headers.emplace_back("Cache-Control", "no-store");
                   res.headers.emplace_back("X-Preview-Seq", std::to_string(frame.seq));
                   SetContent(res, *frame.jpeg, "image/jpeg");
               }),
               kWorker);
    http.Route("POST", "/api/capture/preview", Guarded([this](const Req& req, Res& res) {
                   Captures(res, [&] { return m_Captures->OpenPreview(req.body); });
               }),
               kWorker);
    http.Route("DELETE", "/api/capture/preview", Guarded([this](const Req& req, Res& res) {
                   long port = 1;
                   if (req.HasParam("port") && !Digits(req.Param("port"), 1, 255, &port)) {
                       SendError(res, 400, "port must be a deck's number");
                       return;
                   }
                   Captures(res, [&] { return m_Captures->ClosePreview(static_cast<int>(port)); });
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
