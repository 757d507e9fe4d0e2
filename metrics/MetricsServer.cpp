#include "metrics/MetricsServer.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/optional.hpp>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

struct MetricsServer::State {
    explicit State(std::function<std::string()> b, Limits l)
        : body(std::move(b)), limits(l), acceptor(io) {}
    std::function<std::string()> body;
    Limits limits;
    // Declared before the loop: the sessions the loop still holds when it is
    // destroyed count themselves out of it.
    std::atomic<unsigned> connections{0};
    asio::io_context io;
    tcp::acceptor acceptor;
};

namespace {

using State = MetricsServer::State;

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, State* state) : stream_(std::move(socket)), state_(state) {
        ++state_->connections;
    }
    ~Session() { --state_->connections; }

    void read() {
        // A fresh parser for each request: the limit holds per request. Only
        // the header is read: a GET has no body, and other methods are refused
        // before theirs arrives.
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(state_->limits.maxRequestBytes));
        stream_.expires_after(state_->limits.idleTimeout);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onRead(ec); });
    }

  private:
    void onRead(beast::error_code ec) {
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            answer(http::status::payload_too_large, "request too large\n", false);
            return;
        }
        if (ec && ec != http::error::end_of_stream &&
            ec.category() == make_error_code(http::error::bad_method).category()) {
            answer(http::status::bad_request, "malformed request\n", false);
            return;
        }
        if (ec) {
            // Closed by the client, idle too long, or a broken connection.
            close();
            return;
        }
        const auto& request = parser_->get();
        const bool keepAlive = request.keep_alive();
        if (request.method() != http::verb::get) {
            answer(http::status::method_not_allowed, "only GET\n", false);
        } else if (!parser_->is_done()) {
            answer(http::status::payload_too_large, "a GET has no body\n", false);
        } else if (request.target() != "/metrics") {
            answer(http::status::not_found, "not found\n", keepAlive);
        } else {
            answer(http::status::ok, state_->body(), keepAlive);
        }
    }

    void answer(http::status status, std::string text, bool keepAlive) {
        auto response = std::make_shared<http::response<http::string_body>>(status, 11);
        response->set(http::field::content_type, status == http::status::ok
                                                     ? "text/plain; version=0.0.4; charset=utf-8"
                                                     : "text/plain; charset=utf-8");
        if (status == http::status::method_not_allowed) {
            response->set(http::field::allow, "GET");
        }
        response->keep_alive(keepAlive);
        response->body() = std::move(text);
        response->prepare_payload();
        stream_.expires_after(state_->limits.idleTimeout);
        http::async_write(
            stream_, *response,
            [self = shared_from_this(), response, keepAlive](beast::error_code ec, std::size_t) {
                if (ec || !keepAlive) {
                    self->close();
                } else {
                    self->read();
                }
            });
    }

    void close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

    beast::tcp_stream stream_;
    State* state_;  // owns the loop that owns this session
    beast::flat_buffer buffer_;
    boost::optional<http::request_parser<http::empty_body>> parser_;
};

void accept(State* state) {
    state->acceptor.async_accept([state](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !state->acceptor.is_open()) {
            return;
        }
        if (!ec) {
            if (state->connections.load() >= state->limits.maxConnections) {
                // Over the limit: closed at once, so that a flood costs no descriptor.
                beast::error_code ignored;
                socket.close(ignored);
            } else {
                std::make_shared<Session>(std::move(socket), state)->read();
            }
        }
        accept(state);
    });
}

}  // namespace

MetricsServer::MetricsServer(std::function<std::string()> body, Limits limits)
    : state_(std::make_unique<State>(std::move(body), limits)) {}

MetricsServer::~MetricsServer() {
    stop();
}

void MetricsServer::start(const std::string& address, std::uint16_t port) {
    if (thread_.joinable()) {
        return;
    }
    const tcp::endpoint endpoint(asio::ip::make_address(address), port);
    tcp::acceptor& acceptor = state_->acceptor;
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::socket_base::reuse_address(true));
    try {
        acceptor.bind(endpoint);
        acceptor.listen(static_cast<int>(state_->limits.maxConnections));
    } catch (...) {
        acceptor.close();
        throw;
    }
    port_ = acceptor.local_endpoint().port();
    accept(state_.get());
    thread_ = std::thread([state = state_.get()] { state->io.run(); });
}

void MetricsServer::stop() {
    if (!thread_.joinable()) {
        return;
    }
    // Everything is closed on the server's own thread, then the loop ends.
    asio::post(state_->io, [state = state_.get()] {
        beast::error_code ignored;
        state->acceptor.close(ignored);
        state->io.stop();
    });
    thread_.join();
}

unsigned MetricsServer::openConnections() const {
    return state_->connections.load();
}
