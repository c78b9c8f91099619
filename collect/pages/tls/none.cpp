// The TLS layer of a build without OpenSSL: no HTTPS.
#include "collect/pages/tls.h"

#include <cstdio>

void tls_state_free(TlsState *) {}

TlsConnection *tls_open(ServerEntry *, PlatformSocket, char *why, size_t why_size) {
  std::snprintf(why, why_size, "this build has no HTTPS");
  return nullptr;
}

TlsStep tls_handshake(TlsConnection *, char *why, size_t why_size) {
  std::snprintf(why, why_size, "this build has no HTTPS");
  return TLS_FAILED;
}

TlsStep tls_write(TlsConnection *, const char *, size_t, size_t *done) {
  *done = 0;
  return TLS_FAILED;
}

TlsStep tls_read(TlsConnection *, char *, size_t, size_t *done) {
  *done = 0;
  return TLS_FAILED;
}

bool tls_resumed(const TlsConnection *) { return false; }

void tls_close(TlsConnection *) {}

TlsProbe *tls_probe_open(PlatformSocket, const char *, const char *, char *why, size_t why_size) {
  std::snprintf(why, why_size, "this build has no HTTPS");
  return nullptr;
}

TlsStep tls_probe_step(TlsProbe *, char *why, size_t why_size) {
  std::snprintf(why, why_size, "this build has no HTTPS");
  return TLS_FAILED;
}

bool tls_probe_certificate(TlsProbe *, TlsPeerCertificate *) { return false; }

void tls_probe_close(TlsProbe *) {}

void tls_probe_release(void) {}
