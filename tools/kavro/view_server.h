// The web server of `kavro view`: the viewer folder's files over HTTP and
// one WebSocket ("/ws") for frames and controls.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

struct mg_context;
struct mg_connection;

namespace kavro_cli {

class view_camera;

struct view_server_opts {
    std::string listen = "127.0.0.1";
    int port = 8080;  // 0: any free port
    std::string root;  // the viewer folder (canonical)
};

class view_server {
public:
    explicit view_server(view_camera &cam);
    ~view_server();
    view_server(const view_server &) = delete;
    view_server &operator=(const view_server &) = delete;

    /// Starts listening; false with the reason in `err`.
    bool start(const view_server_opts &o, std::string *err);
    /// The port it listens on (after start).
    int port() const { return port_; }
    /// Closes every connection (their senders end) and stops the server.
    void stop();

    struct client;

private:
    static int on_request(mg_connection *conn, void *self);
    static int on_ws_connect(const mg_connection *conn, void *self);
    static void on_ws_ready(mg_connection *conn, void *self);
    static int on_ws_data(mg_connection *conn, int bits, char *data, size_t len, void *self);
    static void on_ws_close(const mg_connection *conn, void *self);

    bool origin_allowed(const mg_connection *conn) const;
    void send_loop(client *c);
    void handle_text(client *c, const std::string &text);

    view_camera &cam_;
    view_server_opts o_;
    mg_context *ctx_ = nullptr;
    int port_ = 0;
    std::mutex clients_mu_;
    std::map<const mg_connection *, std::unique_ptr<client>> clients_;
};

}  // namespace kavro_cli
