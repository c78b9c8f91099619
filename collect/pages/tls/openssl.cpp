// The TLS layer on OpenSSL. Each HTTPS server gets a context of its own at
// its first fetch (its CA store loaded once), and keeps the newest session
// the server granted, which the next connection offers for resumption.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <sys/stat.h>

#include "collect/pages/tls.h"

struct TlsState {
  SSL_CTX *ctx = nullptr;
  SSL_SESSION *session = nullptr; // the newest the server granted; null none
  ~TlsState() {
    SSL_SESSION_free(session);
    SSL_CTX_free(ctx);
  }
};

struct TlsConnection {
  SSL *ssl = nullptr;
  // A server nobody named: the address it was found at, which its
  // certificate or this machine's host name must match; empty otherwise.
  char found_at[SERVER_HOST_FIELD] = "";
};

namespace {

// The reason OpenSSL gives for its last error, or fallback.
void last_error(char *why, size_t size, const char *fallback) {
  const unsigned long code = ERR_peek_last_error();
  if (code == 0) {
    std::snprintf(why, size, "%s", fallback);
    return;
  }
  ERR_error_string_n(code, why, size);
}

// The socket under the connection is read and written through the platform
// layer: its send never raises SIGPIPE when the server has gone, which a
// plain socket BIO's write would, killing the agent.
int bio_write(BIO *bio, const char *data, size_t length, size_t *done) {
  BIO_clear_retry_flags(bio);
  const auto sock = static_cast<PlatformSocket>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  const long sent = platform_send(sock, data, length);
  if (sent < 0) {
    if (platform_socket_would_block()) {
      BIO_set_retry_write(bio);
    }
    *done = 0;
    return 0;
  }
  *done = static_cast<size_t>(sent);
  return 1;
}

int bio_read(BIO *bio, char *buffer, size_t size, size_t *done) {
  BIO_clear_retry_flags(bio);
  const auto sock = static_cast<PlatformSocket>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  const long got = platform_recv(sock, buffer, size);
  *done = got > 0 ? static_cast<size_t>(got) : 0;
  if (got < 0 && platform_socket_would_block()) {
    BIO_set_retry_read(bio);
  }
  return got > 0 ? 1 : 0;
}

long bio_ctrl(BIO *, int command, long, void *) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bio_create(BIO *bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// The method of those BIOs, made at the first HTTPS fetch and freed when the
// module is unloaded, so that a reload leaves nothing behind.
struct SocketMethod {
  BIO_METHOD *method = nullptr;
  SocketMethod() {
    method = BIO_meth_new(BIO_TYPE_SOURCE_SINK | BIO_get_new_index(), "ostrik socket");
    if (method != nullptr) {
      BIO_meth_set_write_ex(method, bio_write);
      BIO_meth_set_read_ex(method, bio_read);
      BIO_meth_set_ctrl(method, bio_ctrl);
      BIO_meth_set_create(method, bio_create);
    }
  }
  ~SocketMethod() { BIO_meth_free(method); }
};

BIO_METHOD *socket_method() {
  static SocketMethod socket;
  return socket.method;
}

// Keeps the newest session the server grants (TLS 1.3 sends it after the
// handshake) in the server's state, for the next connection.
int keep_session(SSL *ssl, SSL_SESSION *session) {
  auto *state = static_cast<TlsState *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)));
  if (state == nullptr) {
    return 0;
  }
  SSL_SESSION_free(state->session);
  state->session = session;
  return 1; // the reference is ours now
}

// The server's context: its CA store, verification and session keeping.
SSL_CTX *make_context(const ServerEntry *entry, TlsState *state, char *why, size_t size) {
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    last_error(why, size, "no TLS context");
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_app_data(ctx, state);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, keep_session);
  if (entry->reach.insecure != 0) {
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return ctx;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  const char *ca = entry->reach.ca;
  int loaded;
  if (ca[0] == '\0') {
    loaded = SSL_CTX_set_default_verify_paths(ctx);
  } else {
    struct stat st;
    const bool directory = stat(ca, &st) == 0 && S_ISDIR(st.st_mode);
    loaded = directory ? SSL_CTX_load_verify_locations(ctx, nullptr, ca)
                       : SSL_CTX_load_verify_locations(ctx, ca, nullptr);
  }
  if (loaded != 1) {
    char reason[256];
    last_error(reason, sizeof reason, "unreadable");
    std::snprintf(why, size, "CA %.200s cannot be loaded: %.256s", ca[0] != '\0' ? ca : "store",
                  reason);
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

} // namespace

void tls_state_free(TlsState *state) { delete state; }

TlsConnection *tls_open(ServerEntry *entry, PlatformSocket sock, char *why, size_t why_size) {
  ERR_clear_error();
  if (entry->tls == nullptr) {
    TlsState *state = new (std::nothrow) TlsState;
    if (state == nullptr) {
      std::snprintf(why, why_size, "no memory for TLS");
      return nullptr;
    }
    state->ctx = make_context(entry, state, why, why_size);
    if (state->ctx == nullptr) {
      delete state; // tried again at the next fetch: the CA may be put right
      return nullptr;
    }
    entry->tls = state;
  }
  TlsConnection *tls = new (std::nothrow) TlsConnection;
  BIO *bio = socket_method() != nullptr ? BIO_new(socket_method()) : nullptr;
  SSL *ssl = SSL_new(entry->tls->ctx);
  if (tls == nullptr || bio == nullptr || ssl == nullptr) {
    last_error(why, why_size, "no memory for TLS");
    delete tls;
    BIO_free(bio);
    SSL_free(ssl);
    return nullptr;
  }
  BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(sock)));
  SSL_set_bio(ssl, bio, bio);
  tls->ssl = ssl;
  const char *host = entry->reach.host;
  PlatformAddress literal;
  if (entry->reach.discovered != 0) {
    // No name to send: the certificate's names are checked after the
    // handshake, against either of two.
    if (entry->reach.insecure == 0) {
      std::snprintf(tls->found_at, sizeof tls->found_at, "%s", host);
    }
  } else if (platform_parse_address(host, &literal) == 0) {
    // A certificate for an address names it among its IP addresses; no
    // name is sent for an address (SNI carries names only).
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host);
  } else {
    SSL_set1_host(ssl, host);
    SSL_set_tlsext_host_name(ssl, host);
  }
  if (entry->tls->session != nullptr) {
    SSL_set_session(ssl, entry->tls->session);
  }
  SSL_set_connect_state(ssl);
  return tls;
}

namespace {

TlsStep step_result(SSL *ssl, int result) {
  switch (SSL_get_error(ssl, result)) {
  case SSL_ERROR_WANT_READ:
    return TLS_WANT_READ;
  case SSL_ERROR_WANT_WRITE:
    return TLS_WANT_WRITE;
  case SSL_ERROR_ZERO_RETURN:
    return TLS_CLOSED;
  default:
    return TLS_FAILED;
  }
}

// Whether the verified certificate of a server found by discovery names
// the address it was found at or this machine's host name. A session that
// fails is not offered again.
bool names_this_machine(TlsConnection *tls, char *why, size_t why_size) {
  X509 *cert = SSL_get1_peer_certificate(tls->ssl);
  char name[256] = "";
  const bool named =
      cert != nullptr && (X509_check_ip_asc(cert, tls->found_at, 0) == 1 ||
                          (platform_host_name(name, sizeof name) == 0 && name[0] != '\0' &&
                           X509_check_host(cert, name, 0, 0, nullptr) == 1));
  X509_free(cert);
  if (!named) {
    std::snprintf(why, why_size, "the certificate names neither %s nor %s", tls->found_at,
                  name[0] != '\0' ? name : "this machine's host name");
    auto *state = static_cast<TlsState *>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(tls->ssl)));
    if (state != nullptr) {
      SSL_SESSION_free(state->session);
      state->session = nullptr;
    }
  }
  return named;
}

} // namespace

TlsStep tls_handshake(TlsConnection *tls, char *why, size_t why_size) {
  ERR_clear_error();
  const int result = SSL_connect(tls->ssl);
  if (result == 1) {
    return tls->found_at[0] == '\0' || names_this_machine(tls, why, why_size) ? TLS_DONE
                                                                              : TLS_CERT_REFUSED;
  }
  const TlsStep step = step_result(tls->ssl, result);
  if (step == TLS_WANT_READ || step == TLS_WANT_WRITE) {
    return step;
  }
  const long verified = SSL_get_verify_result(tls->ssl);
  if (verified != X509_V_OK) {
    std::snprintf(why, why_size, "%s", X509_verify_cert_error_string(verified));
    return TLS_CERT_REFUSED;
  }
  last_error(why, why_size, "the server closed the connection during the handshake");
  return TLS_FAILED;
}

TlsStep tls_write(TlsConnection *tls, const char *data, size_t length, size_t *done) {
  ERR_clear_error();
  *done = 0;
  const int result = SSL_write_ex(tls->ssl, data, length, done);
  return result == 1 ? TLS_DONE : step_result(tls->ssl, result);
}

TlsStep tls_read(TlsConnection *tls, char *buffer, size_t size, size_t *done) {
  ERR_clear_error();
  *done = 0;
  const int result = SSL_read_ex(tls->ssl, buffer, size, done);
  return result == 1 ? TLS_DONE : step_result(tls->ssl, result);
}

bool tls_resumed(const TlsConnection *tls) { return SSL_session_reused(tls->ssl) == 1; }

void tls_close(TlsConnection *tls) {
  if (tls == nullptr) {
    return;
  }
  // A connection freed without a close_notify of ours would make its
  // session one that may not be resumed.
  ERR_clear_error();
  if (SSL_is_init_finished(tls->ssl)) {
    SSL_shutdown(tls->ssl);
  }
  SSL_free(tls->ssl);
  ERR_clear_error();
  delete tls;
}

// The probes of the certificate table: a handshake of their own with each
// site, which must read a certificate even when it fails verification.
struct TlsProbe {
  SSL *ssl = nullptr;
  char name[SERVER_HOST_FIELD] = ""; // sent as SNI; empty: none
};

namespace {

// One context per CA store the probes verify against, made at its first
// probe and kept until the module is unloaded: loading the system's store
// costs more than a handshake.
std::map<std::string, SSL_CTX *> &probe_contexts() {
  static std::map<std::string, SSL_CTX *> contexts;
  return contexts;
}

SSL_CTX *probe_context(const char *ca, char *why, size_t size) {
  const std::string key = ca != nullptr ? ca : "";
  auto &contexts = probe_contexts();
  const auto found = contexts.find(key);
  if (found != contexts.end()) {
    return found->second;
  }
  SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    last_error(why, size, "no TLS context");
    return nullptr;
  }
  // The chain is verified all the same and its outcome kept; the handshake
  // goes on, so that a certificate that fails is read and shown.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  int loaded;
  if (key.empty()) {
    loaded = SSL_CTX_set_default_verify_paths(ctx);
  } else {
    struct stat st;
    const bool directory = stat(ca, &st) == 0 && S_ISDIR(st.st_mode);
    loaded = directory ? SSL_CTX_load_verify_locations(ctx, nullptr, ca)
                       : SSL_CTX_load_verify_locations(ctx, ca, nullptr);
  }
  if (loaded != 1) {
    char reason[256];
    last_error(reason, sizeof reason, "unreadable");
    std::snprintf(why, size, "CA %.200s cannot be loaded: %.256s", key.empty() ? "store" : ca,
                  reason);
    SSL_CTX_free(ctx);
    return nullptr;
  }
  try {
    contexts.emplace(key, ctx);
  } catch (...) {
    SSL_CTX_free(ctx);
    std::snprintf(why, size, "no memory for TLS");
    return nullptr;
  }
  return ctx;
}

// A name as RFC 2253 text, cut to size; whatever is not printable ASCII
// (a hostile certificate's bytes) becomes '?'.
void name_text(const X509_NAME *name, char *text, size_t size) {
  text[0] = '\0';
  BIO *bio = BIO_new(BIO_s_mem());
  if (bio == nullptr || name == nullptr) {
    BIO_free(bio);
    return;
  }
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
  const int got = BIO_read(bio, text, static_cast<int>(size - 1));
  text[got > 0 ? got : 0] = '\0';
  BIO_free(bio);
  for (char *c = text; *c != '\0'; ++c) {
    if (*c < 0x20 || *c > 0x7E) {
      *c = '?';
    }
  }
}

// A certificate time as seconds since the epoch.
int64_t epoch_seconds(const ASN1_TIME *time) {
  ASN1_TIME *epoch = ASN1_TIME_set(nullptr, 0);
  int days = 0;
  int seconds = 0;
  const bool known =
      epoch != nullptr && time != nullptr && ASN1_TIME_diff(&days, &seconds, epoch, time) == 1;
  ASN1_TIME_free(epoch);
  return known ? static_cast<int64_t>(days) * 86400 + seconds : 0;
}

} // namespace

TlsProbe *tls_probe_open(PlatformSocket sock, const char *name, const char *ca, char *why,
                         size_t why_size) {
  ERR_clear_error();
  SSL_CTX *ctx = probe_context(ca, why, why_size);
  if (ctx == nullptr) {
    return nullptr;
  }
  TlsProbe *probe = new (std::nothrow) TlsProbe;
  BIO *bio = socket_method() != nullptr ? BIO_new(socket_method()) : nullptr;
  SSL *ssl = SSL_new(ctx);
  if (probe == nullptr || bio == nullptr || ssl == nullptr) {
    last_error(why, why_size, "no memory for TLS");
    delete probe;
    BIO_free(bio);
    SSL_free(ssl);
    return nullptr;
  }
  BIO_set_data(bio, reinterpret_cast<void *>(static_cast<intptr_t>(sock)));
  SSL_set_bio(ssl, bio, bio);
  if (name != nullptr && name[0] != '\0') {
    std::snprintf(probe->name, sizeof probe->name, "%s", name);
    SSL_set_tlsext_host_name(ssl, probe->name);
  }
  SSL_set_connect_state(ssl);
  probe->ssl = ssl;
  return probe;
}

TlsStep tls_probe_step(TlsProbe *probe, char *why, size_t why_size) {
  ERR_clear_error();
  const int result = SSL_connect(probe->ssl);
  if (result == 1) {
    return TLS_DONE;
  }
  const TlsStep step = step_result(probe->ssl, result);
  if (step != TLS_WANT_READ && step != TLS_WANT_WRITE) {
    last_error(why, why_size, "the server closed the connection during the handshake");
    return TLS_FAILED;
  }
  return step;
}

bool tls_probe_certificate(TlsProbe *probe, TlsPeerCertificate *out) {
  *out = TlsPeerCertificate{};
  X509 *cert = SSL_get1_peer_certificate(probe->ssl);
  if (cert == nullptr) {
    return false;
  }
  name_text(X509_get_subject_name(cert), out->subject, sizeof out->subject);
  name_text(X509_get_issuer_name(cert), out->issuer, sizeof out->issuer);
  out->notBefore = epoch_seconds(X509_get0_notBefore(cert));
  out->notAfter = epoch_seconds(X509_get0_notAfter(cert));
  const long verified = SSL_get_verify_result(probe->ssl);
  out->chainVerified = verified == X509_V_OK ? 1 : 0;
  if (verified != X509_V_OK) {
    std::snprintf(out->problem, sizeof out->problem, "%s", X509_verify_cert_error_string(verified));
  }
  out->nameMatches =
      probe->name[0] == '\0' ? -1 : X509_check_host(cert, probe->name, 0, 0, nullptr) == 1;
  X509_free(cert);
  return true;
}

void tls_probe_close(TlsProbe *probe) {
  if (probe == nullptr) {
    return;
  }
  ERR_clear_error();
  if (SSL_is_init_finished(probe->ssl)) {
    SSL_shutdown(probe->ssl);
  }
  SSL_free(probe->ssl);
  ERR_clear_error();
  delete probe;
}

void tls_probe_release(void) {
  for (auto &context : probe_contexts()) {
    SSL_CTX_free(context.second);
  }
  probe_contexts().clear();
}
