// The time-stamping request over a socket of its own: HTTP/1.1 with the connection closed after
// one answer, TLS from libssl for https:// (the server's certificate checked against the
// system's trusted roots, or $SSL_CERT_FILE, and its name or address against the URL's).
#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "der.h"
#include "pack_error.h"
#include "text.h"
#include "timestamp.h"

namespace pack {
namespace {

using der::Bytes;

// The answer is a token of a few kilobytes: a server that sends more is not one.
constexpr size_t kMostAnswer = 1 << 20;
constexpr int kSeconds = 30;

struct Url {
  bool tls = false;
  std::string host, port, path;
};

Url ParseUrl(const std::string& url, const std::string& shown) {
  Url parsed;
  size_t rest = 0;
  if (url.compare(0, 7, "http://") == 0) {
    rest = 7;
  } else if (url.compare(0, 8, "https://") == 0) {
    rest = 8;
    parsed.tls = true;
  }
  const size_t slash = url.find('/', rest);
  std::string authority = url.substr(rest, slash == std::string::npos ? std::string::npos
                                                                       : slash - rest);
  parsed.path = slash == std::string::npos ? "/" : url.substr(slash);
  parsed.port = parsed.tls ? "443" : "80";
  size_t colon = authority.rfind(':');
  if (!authority.empty() && authority[0] == '[') {
    const size_t close = authority.find(']');
    if (close == std::string::npos) Fail("--timestamp-url " + shown + " has no closing ]");
    colon = authority.find(':', close);
    parsed.host = authority.substr(1, close - 1);
  } else {
    parsed.host = authority.substr(0, colon);
  }
  if (colon != std::string::npos) parsed.port = authority.substr(colon + 1);
  if (parsed.host.empty() || parsed.port.empty()) {
    Fail("--timestamp-url " + shown + " names no server");
  }
  return parsed;
}

// One connection, closed on every path.
class Connection {
 public:
  Connection(const Url& url, const std::string& shown) : shown_(shown) {
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int error = getaddrinfo(url.host.c_str(), url.port.c_str(), &hints, &found);
    if (error != 0) Failed(std::string("cannot find it: ") + gai_strerror(error));
    std::string why = "cannot connect";
    for (addrinfo* each = found; each != nullptr && socket_ < 0; each = each->ai_next) {
      socket_ = socket(each->ai_family, each->ai_socktype | SOCK_CLOEXEC, each->ai_protocol);
      if (socket_ < 0) continue;
      const timeval limit = {kSeconds, 0};
      setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
      setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
      if (connect(socket_, each->ai_addr, each->ai_addrlen) == 0) break;
      why = std::string("cannot connect: ") + std::strerror(errno);
      close(socket_);
      socket_ = -1;
    }
    freeaddrinfo(found);
    if (socket_ < 0) Failed(why);
    if (url.tls) StartTls(url.host);
  }
  ~Connection() {
    if (tls_ != nullptr) SSL_free(tls_);
    if (context_ != nullptr) SSL_CTX_free(context_);
    if (socket_ >= 0) close(socket_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Send(const std::string& data) {
    for (size_t at = 0; at < data.size();) {
      const ssize_t sent = tls_ != nullptr
                               ? SSL_write(tls_, data.data() + at, static_cast<int>(data.size() - at))
                               : send(socket_, data.data() + at, data.size() - at, MSG_NOSIGNAL);
      if (sent < 0 && tls_ == nullptr && errno == EINTR) continue;
      if (sent <= 0) Failed("the request could not be sent");
      at += static_cast<size_t>(sent);
    }
  }

  // Everything until the server closes the connection.
  std::string ReceiveAll() {
    std::string answer;
    char buffer[16384];
    for (;;) {
      const ssize_t got = tls_ != nullptr ? SSL_read(tls_, buffer, sizeof(buffer))
                                          : recv(socket_, buffer, sizeof(buffer), 0);
      if (got < 0 && tls_ == nullptr && errno == EINTR) continue;
      if (got < 0 && tls_ == nullptr) Failed(std::string("no answer: ") + std::strerror(errno));
      if (got <= 0) break;  // closed (TLS: with or without its close notice)
      answer.append(buffer, static_cast<size_t>(got));
      if (answer.size() > kMostAnswer) Failed("its answer is larger than a time stamp");
    }
    ERR_clear_error();
    return answer;
  }

  [[noreturn]] void Failed(const std::string& why) const {
    Fail("signing failed: the time-stamping server " + shown_ + ": " + why);
  }

 private:
  void StartTls(const std::string& host) {
    context_ = SSL_CTX_new(TLS_client_method());
    if (context_ == nullptr) Failed("TLS is not available");
    SSL_CTX_set_default_verify_paths(context_);
    SSL_CTX_set_verify(context_, SSL_VERIFY_PEER, nullptr);
    tls_ = SSL_new(context_);
    X509_VERIFY_PARAM* check = SSL_get0_param(tls_);
    // An address is checked as one; a name also goes out for the server to pick its certificate.
    if (X509_VERIFY_PARAM_set1_ip_asc(check, host.c_str()) != 1) {
      X509_VERIFY_PARAM_set1_host(check, host.c_str(), 0);
      SSL_set_tlsext_host_name(tls_, host.c_str());
    }
    SSL_set_fd(tls_, socket_);
    if (SSL_connect(tls_) != 1) {
      const long verdict = SSL_get_verify_result(tls_);
      ERR_clear_error();
      Failed(verdict != X509_V_OK ? std::string("its certificate is not trusted: ") +
                                        X509_verify_cert_error_string(verdict)
                                  : std::string("the TLS handshake failed"));
    }
  }

  std::string shown_;
  int socket_ = -1;
  SSL_CTX* context_ = nullptr;
  SSL* tls_ = nullptr;
};

// A TimeStampReq: version 1, the SHA-256 of what is stamped, a random nonce, and the server's
// certificate asked for, as signing tools ask.
Bytes Request(const std::vector<uint8_t>& signature) {
  Bytes hash(32);
  unsigned int size = 0;
  EVP_Digest(signature.data(), signature.size(), hash.data(), &size, EVP_sha256(), nullptr);
  Bytes nonce(8);
  RAND_bytes(nonce.data(), static_cast<int>(nonce.size()));
  nonce[0] &= 0x7F;  // a positive INTEGER
  return der::Sequence({{0x02, 0x01, 0x01},
                        der::Sequence({der::Sequence({der::kSha256, der::kNull}),
                                       der::Tlv(0x04, hash)}),
                        der::Tlv(0x02, nonce), {0x01, 0x01, 0xFF}});
}

}  // namespace

std::vector<uint8_t> TimeStampToken(const std::string& url, const std::vector<uint8_t>& signature) {
  const std::string shown = Quoted(url);
  const Url parsed = ParseUrl(url, shown);
  const Bytes body = Request(signature);
  Connection connection(parsed, shown);
  const bool bracketed = parsed.host.find(':') != std::string::npos;
  connection.Send("POST " + parsed.path + " HTTP/1.1\r\nHost: " +
                  (bracketed ? "[" + parsed.host + "]" : parsed.host) + ":" + parsed.port +
                  "\r\nContent-Type: application/timestamp-query\r\nAccept: "
                  "application/timestamp-reply\r\nContent-Length: " +
                  std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
                  std::string(body.begin(), body.end()));
  const std::string answer = connection.ReceiveAll();

  const size_t head_end = answer.find("\r\n\r\n");
  const std::string status_line = answer.substr(0, answer.find("\r\n"));
  if (answer.compare(0, 5, "HTTP/") != 0 || head_end == std::string::npos) {
    connection.Failed("its answer is not HTTP");
  }
  const size_t code_at = status_line.find(' ');
  if (code_at == std::string::npos || status_line.compare(code_at + 1, 3, "200") != 0) {
    connection.Failed("it answered " + Quoted(status_line));
  }
  std::string head = answer.substr(0, head_end);
  for (char& c : head) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (head.find("transfer-encoding: chunked") != std::string::npos) {
    connection.Failed("its answer comes in chunks, which no time-stamping server sends");
  }
  const std::string payload = answer.substr(head_end + 4);

  // TimeStampResp: the status (0 granted, 1 granted with changes), then the token.
  const auto* at = reinterpret_cast<const uint8_t*>(payload.data());
  const uint8_t* const end = at + payload.size();
  uint8_t tag = 0;
  const uint8_t *inside = nullptr, *after = nullptr, *status = nullptr, *status_end = nullptr;
  const uint8_t *value = nullptr, *next = nullptr;
  if (!der::Element(at, end, &tag, &inside, &after) || tag != 0x30 ||
      !der::Element(inside, after, &tag, &status, &status_end) || tag != 0x30 ||
      !der::Element(status, status_end, &tag, &value, &next) || tag != 0x02 ||
      next - value != 1) {
    connection.Failed("its answer is not a time-stamp response");
  }
  if (*value > 1) {
    connection.Failed("it refused to time-stamp (status " + std::to_string(*value) + ")");
  }
  const uint8_t* token = status_end;
  if (!der::Element(token, after, &tag, &value, &next) || tag != 0x30) {
    connection.Failed("its answer holds no time-stamp token");
  }
  return std::vector<uint8_t>(token, next);
}

}  // namespace pack
