// The page's own files and artwork, and the screen every request passes first: Host, Origin
// and the token.
#include "tools/panel/serve_impl.h"

namespace panel {

bool PanelServer::Impl::HostOk(const HttpRequest& req) const {
    const std::string host = Lower(req.Header("Host"));
    const std::size_t colon = host.rfind(':');
    const bool hasPort = colon != std::string::npos && host.back() != ']';
    const std::string name = hasPort ? host.substr(0, colon) : host;
    const std::string givenPort = hasPort ? host.substr(colon + 1) : "80";
    std::string listen = Lower(m_ListenHost);
    if (listen.find(':') != std::string::npos) {
        listen = "[" + listen + "]";
    }
    if (givenPort != std::to_string(Port()) || name.empty()) {
        return false;
    }
    if (m_bLoopback) {
        return name == listen || name == "localhost" || name == "127.0.0.1" || name == "[::1]";
    }
    if (m_bWildcard) {
        char self[256] = {};
        gethostname(self, sizeof self - 1);
        return IsIpLiteral(name) || name == Lower(self) || name == Lower(self) + ".local";
    }
    return name == listen;
}

// The token as scripts and the page give it (Authorization: Bearer) or as the printed URL has
// it. Never from a cookie: browsers send a host's cookies to all of its ports, so any other
// server there would read it, or plant one of its own.
std::string PanelServer::Impl::GivenToken(const HttpRequest& req) const {
    const std::string auth = req.Header("Authorization");
    if (auth.rfind("Bearer ", 0) == 0) {
        return auth.substr(7);
    }
    return req.Param("token");
}

// The page and its scripts and styles, which hold nothing secret: anyone may load them, so
// that a reload of the page, whose address no longer has the token, works.
bool PanelServer::Impl::PageFile(const std::string& path) const {
    return path == "/" || (path.size() > 1 && m_Assets.count(path.substr(1)) != 0);
}

// Every request passes here once its header is in, before its body is read: the Host header
// (DNS rebinding), the token, and for requests that change something, the Origin a browser
// names (another site's form). The page's own files are open to anyone the Host check lets
// through.
HttpVerdict PanelServer::Impl::Screen(const HttpRequest& req) const {
    HttpResponse res;
    if (!HostOk(req)) {
        SendError(res, 403,
                  "this server answers only requests addressed to " +
                      Url().substr(7, Url().find('/', 7) - 7) + "; the Host header said '" +
                      req.Header("Host") + "'");
        return HttpVerdict(std::move(res));
    }
    const std::string given = GivenToken(req);
    if (!SameToken(given, m_Token)) {
        if ((req.method == "GET" || req.method == "HEAD") && PageFile(req.path)) {
            return HttpVerdict::Open();
        }
        SendError(res, 401,
                  given.empty() ? "this server needs its token: Authorization: Bearer T, or "
                                  "open the URL it printed"
                                : "wrong token");
        return HttpVerdict(std::move(res));
    }
    if (req.method != "GET" && req.method != "HEAD" && req.HasHeader("Origin") &&
        req.Header("Origin") != "http://" + req.Header("Host")) {
        SendError(res, 403, "requests from another site's page are refused");
        return HttpVerdict(std::move(res));
    }
    return HttpVerdict();
}

// The page. Opened through the printed URL, its script keeps the token in the tab's session
// storage, sends it with every request and drops it from the address bar.
void PanelServer::Impl::GetPage(const HttpRequest&, HttpResponse& res) const {
    GetAsset("index.html", res);
    res.headers.emplace_back("Cache-Control", "no-store");
}

void PanelServer::Impl::GetAsset(const std::string& path, HttpResponse& res) const {
    const auto it = m_Assets.find(path);
    if (it == m_Assets.end()) {
        SendError(res, 404, "no such file: /" + path);
        return;
    }
    SetContent(res, std::string(reinterpret_cast<const char*>(it->second->data), it->second->size),
               ContentType(path));
}

void PanelServer::Impl::GetArt(const HttpRequest& req, HttpResponse& res) const {
    std::string name = req.matches[1];
    long number = 0;
    if (Digits(name, 0, 99999, &number)) {
        name = "#" + name;
    }
    const auto& names = hostkit::PanelBitmapNames();
    unsigned size = 0;
    const void* data = nullptr;
    if (m_FindBitmap != nullptr && std::find(names.begin(), names.end(), name) != names.end()) {
        data = m_FindBitmap(name.c_str(), &size);
    }
    if (data == nullptr || size == 0 || size > (16u << 20)) {
        SendError(res, 404, "the module has no panel bitmap " + name);
        return;
    }
    res.headers.emplace_back("Cache-Control", "max-age=3600");
    SetContent(res, std::string(static_cast<const char*>(data), size), "image/bmp");
}

}  // namespace panel
