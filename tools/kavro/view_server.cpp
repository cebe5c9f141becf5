#include "view_server.h"

#include <civetweb.h>
#include <nlohmann/json.hpp>

#include <pthread.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "view_camera.h"
#include "view_files.h"

namespace kavro_cli {

using nlohmann::json;

namespace {

// A control message is a small JSON object: anything longer is refused.
constexpr size_t k_max_control_bytes = 4096;

}  // namespace

struct view_server::client {
    mg_connection *conn = nullptr;
    std::atomic<bool> wants{false};    // the page is ready for a frame
    std::atomic<bool> closing{false};
    uint64_t settings_sent = 0;        // the version of the settings it has (its sender's)
    std::mutex write_mu;               // one message at a time on the socket
    std::thread sender;

    bool write(int opcode, const void *data, size_t len) {
        std::lock_guard<std::mutex> lk(write_mu);
        return mg_websocket_write(conn, opcode, static_cast<const char *>(data), len) > 0;
    }
    bool write_text(const std::string &s) { return write(MG_WEBSOCKET_OPCODE_TEXT, s.data(), s.size()); }
};

view_server::view_server(view_camera &cam) : cam_(cam) {}

view_server::~view_server() { stop(); }

bool view_server::start(const view_server_opts &o, std::string *err) {
    o_ = o;
    mg_init_library(0);
    const std::string ports = (o.listen.find(':') != std::string::npos ? "[" + o.listen + "]" : o.listen) + ":" +
                              std::to_string(o.port);
    // Each WebSocket holds a worker thread while it is open: 32 allow a
    // few tabs and the page's file requests beside them.
    const char *options[] = {"listening_ports", ports.c_str(), "num_threads", "32",
                             "websocket_timeout_ms", "3600000", "request_timeout_ms", "10000",
                             "enable_keep_alive", "yes", nullptr};
    mg_callbacks cb{};
    ctx_ = mg_start(&cb, this, options);
    if (!ctx_) {
        mg_exit_library();
        *err = "cannot listen on " + ports + " (in use, or not an address of this machine?)";
        return false;
    }
    mg_server_port sp[4]{};
    const int n = mg_get_server_ports(ctx_, 4, sp);
    port_ = n > 0 ? sp[0].port : o.port;
    mg_set_request_handler(ctx_, "/", &view_server::on_request, this);
    mg_set_websocket_handler(ctx_, "/ws", &view_server::on_ws_connect, &view_server::on_ws_ready,
                             &view_server::on_ws_data, &view_server::on_ws_close, this);
    return true;
}

void view_server::stop() {
    if (!ctx_) return;
    // The senders end (their connections close); mg_stop waits for the
    // close handlers, which join them.
    {
        std::lock_guard<std::mutex> lk(clients_mu_);
        for (auto &[conn, c] : clients_) c->closing = true;
    }
    cam_.notify();
    mg_stop(ctx_);
    ctx_ = nullptr;
    mg_exit_library();
}

int view_server::on_request(mg_connection *conn, void *self_v) {
    auto *self = static_cast<view_server *>(self_v);
    const mg_request_info *ri = mg_get_request_info(conn);
    if (std::strcmp(ri->request_method, "GET") != 0 && std::strcmp(ri->request_method, "HEAD") != 0) {
        mg_send_http_error(conn, 405, "%s", "only GET and HEAD");
        return 405;
    }
    // The path, percent-decoded by the server, without the query.
    std::string uri = ri->local_uri_raw ? ri->local_uri_raw : "";
    const auto q = uri.find('?');
    if (q != std::string::npos) uri.resize(q);
    const auto file = viewer_file(self->o_.root, uri);
    if (!file) {
        mg_send_http_error(conn, 404, "%s", "not found");
        return 404;
    }
    mg_send_mime_file(conn, file->c_str(), viewer_content_type(*file));
    return 200;
}

// A WebSocket may only be opened by the viewer's own page: its Origin must
// be this server as the browser addressed it (Host). Bound to a loopback
// address, the Host must be a loopback name too, so a foreign site that
// resolves its own name to 127.0.0.1 does not pass either.
bool view_server::origin_allowed(const mg_connection *conn) const {
    const char *origin = mg_get_header(conn, "Origin");
    const char *host = mg_get_header(conn, "Host");
    if (!origin || !host) return false;
    if (std::string(origin) != std::string("http://") + host) return false;
    if (o_.listen == "127.0.0.1" || o_.listen == "::1" || o_.listen == "localhost") {
        const std::string p = ":" + std::to_string(port_);
        const std::string h = host;
        return h == "127.0.0.1" + p || h == "localhost" + p || h == "[::1]" + p;
    }
    return true;
}

int view_server::on_ws_connect(const mg_connection *conn, void *self_v) {
    auto *self = static_cast<view_server *>(self_v);
    return self->origin_allowed(conn) ? 0 : 1;  // non-zero refuses the upgrade
}

void view_server::on_ws_ready(mg_connection *conn, void *self_v) {
    auto *self = static_cast<view_server *>(self_v);
    auto c = std::make_unique<client>();
    c->conn = conn;
    client *cp = c.get();
    const json settings = self->cam_.settings();
    cp->settings_sent = settings.value("version", uint64_t{0});
    cp->write_text(json{{"type", "hello"}, {"settings", settings}}.dump());
    cp->sender = std::thread([self, cp] { self->send_loop(cp); });
    std::lock_guard<std::mutex> lk(self->clients_mu_);
    self->clients_[conn] = std::move(c);
}

// Each client is sent the newest frame whenever it asked for one: a slow
// tab only ever waits for itself, and skips the frames it had no time for.
// The frame's message, status and rays are the camera's, shared by every
// client; changed settings are sent as they change (another tab's control,
// a camera error), paused or not.
void view_server::send_loop(client *c) {
    pthread_setname_np(pthread_self(), "view-send");
    uint64_t sent = 0, rays_sent = 0;
    for (;;) {
        view_update u;
        if (!cam_.wait_update(
                sent, c->settings_sent, [c] { return c->wants.load(); }, [c] { return c->closing.load(); }, &u))
            return;
        if (u.settings) {
            if (!c->write_text(*u.settings)) return;
            c->settings_sent = u.settings_version;
        }
        if (!u.frame) continue;
        const auto &f = u.frame;
        c->wants = false;
        sent = f->seq;
        if (f->rays_seq != rays_sent) {
            const auto rays = cam_.rays();
            if (rays && !c->write(MG_WEBSOCKET_OPCODE_BINARY, rays->data(), rays->size())) return;
            rays_sent = f->rays_seq;
        }
        if (!c->write_text(f->status) || !c->write(MG_WEBSOCKET_OPCODE_BINARY, f->msg.data(), f->msg.size()))
            return;
    }
}

void view_server::handle_text(client *c, const std::string &text) {
    json req;
    try {
        req = json::parse(text);
    } catch (const json::exception &) {
        c->write_text(json{{"type", "error"}, {"error", "not a JSON message"}}.dump());
        return;
    }
    if (!req.is_object() || !req.contains("cmd") || !req["cmd"].is_string()) {
        c->write_text(json{{"type", "error"}, {"error", "a message must be an object with a \"cmd\" text"}}.dump());
        return;
    }
    const json id = req.value("id", json(nullptr));
    if (req["cmd"] == "next") {
        c->wants = true;
        cam_.notify();
        return;
    }
    json reply = cam_.control(req);
    const bool ok = reply.value("ok", false);
    reply["type"] = ok ? "reply" : "error";
    reply["cmd"] = req["cmd"];
    reply["id"] = id;
    if (!reply.contains("settings")) reply["settings"] = cam_.settings();
    c->write_text(reply.dump());
}

int view_server::on_ws_data(mg_connection *conn, int bits, char *data, size_t len, void *self_v) {
    auto *self = static_cast<view_server *>(self_v);
    client *c;
    {
        std::lock_guard<std::mutex> lk(self->clients_mu_);
        const auto it = self->clients_.find(conn);
        if (it == self->clients_.end()) return 0;
        c = it->second.get();
    }
    const int opcode = bits & 0x0f;
    const bool fin = (bits & 0x80) != 0;
    switch (opcode) {
    case MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE: return 0;
    case MG_WEBSOCKET_OPCODE_PING:
    case MG_WEBSOCKET_OPCODE_PONG: return 1;
    case MG_WEBSOCKET_OPCODE_TEXT:
        if (fin && len <= k_max_control_bytes) {
            self->handle_text(c, std::string(data, len));
            return 1;
        }
        break;
    default: break;
    }
    std::string why = opcode == MG_WEBSOCKET_OPCODE_BINARY ? "binary messages are not controls"
                      : !fin || opcode == MG_WEBSOCKET_OPCODE_CONTINUATION
                          ? "fragmented messages are not accepted"
                          : "message too long (at most " + std::to_string(k_max_control_bytes) + " bytes)";
    c->write_text(json{{"type", "error"}, {"error", why}}.dump());
    return 1;
}

void view_server::on_ws_close(const mg_connection *conn, void *self_v) {
    auto *self = static_cast<view_server *>(self_v);
    std::unique_ptr<client> c;
    {
        std::lock_guard<std::mutex> lk(self->clients_mu_);
        const auto it = self->clients_.find(conn);
        if (it == self->clients_.end()) return;
        c = std::move(it->second);
        self->clients_.erase(it);
    }
    c->closing = true;
    self->cam_.notify();
    if (c->sender.joinable()) c->sender.join();
}

}  // namespace kavro_cli
