// The captures' routes: a batch's start, its calibration, its cancel and the list.
#include <fcntl.h>
#include <sys/stat.h>

#include <climits>

#include "tools/capture/preview.h"
#include "tools/panel/serve_impl.h"

namespace panel {

namespace {

// A poster frame from the capture's folder: a few tens of kilobytes, never a link planted there.
bool ReadSmallFile(const std::string& path, std::string* out) {
    constexpr std::size_t kMost = std::size_t{1} << 20;
    // Never blocks on what is not a file (a FIFO planted there).
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return false;
    }
    char buf[16384];
    ssize_t n = 0;
    while ((n = read(fd, buf, sizeof buf)) > 0 && out->size() < kMost) {
        out->append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return n == 0 && !out->empty();
}

}  // namespace

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
    // A captured clip's quality graph, and its poster frame from the disk.
    const auto clipOf = [this](const Req& req, Res& res, Json* graph, std::string* poster) {
        long port = 1;
        long id = 0;
        std::string why;
        if ((req.HasParam("port") && !Digits(req.Param("port"), 1, 255, &port)) ||
            !req.HasParam("clip") || !Digits(req.Param("clip"), 1, LONG_MAX, &id)) {
            SendError(res, 400, "port must be a deck's number and clip a clip's id");
            return false;
        }
        if (m_Hub || !m_Captures->ClipQuality(static_cast<int>(port), id, graph, poster, &why)) {
            SendError(res, 404, m_Hub ? "a hub has no captures of its own" : why);
            return false;
        }
        res.headers.emplace_back("Cache-Control", "no-store");
        return true;
    };
    http.Route("GET", "/api/capture/graph", Guarded([clipOf](const Req& req, Res& res) {
                   Json graph;
                   std::string poster;
                   if (clipOf(req, res, &graph, &poster)) {
                       SendJson(res, 200, graph);
                   }
               }),
               kWorker);
    http.Route("GET", "/api/capture/poster", Guarded([clipOf](const Req& req, Res& res) {
                   Json graph;
                   std::string poster;
                   if (!clipOf(req, res, &graph, &poster)) {
                       return;
                   }
                   std::string jpeg;
                   if (poster.empty() || !ReadSmallFile(poster, &jpeg)) {
                       SendError(res, 404, "the clip has no poster frame");
                       return;
                   }
                   SetContent(res, std::move(jpeg), "image/jpeg");
               }),
               kLogWorker);
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
