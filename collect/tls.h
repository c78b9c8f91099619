// HTTPS for the page fetches: TLS over a connected, non-blocking socket.
// Built on OpenSSL where the build has it (Linux); elsewhere tls_available()
// is false and every connection fails.
#pragma once

#include <stddef.h>

#include "config/server_entry.h"
#include "platform/net.h"

// Whether this build can fetch pages over HTTPS.
bool tls_available(void);

// What a step of a TLS connection came to.
enum TlsStep {
  TLS_DONE = 0,          // the step is complete
  TLS_WANT_READ = 1,     // call again once the socket is readable
  TLS_WANT_WRITE = 2,    // call again once the socket is writable
  TLS_CLOSED = 3,        // the server closed the connection cleanly
  TLS_FAILED = -1,       // a handshake or read failure
  TLS_CERT_REFUSED = -2, // the server's certificate failed verification
};

struct TlsConnection;

// A TLS client on sock for entry: its certificate verified against the CA
// file or directory the entry names, or the system's store, and checked for
// the entry's host name (or address), unless the entry says insecure; the
// entry's last session is offered for resumption. Null when the server's
// TLS context cannot be made (a CA file that cannot be read), with the
// reason in why.
TlsConnection *tls_open(ServerEntry *entry, PlatformSocket sock, char *why, size_t why_size);

// Advances the handshake. On TLS_FAILED or TLS_CERT_REFUSED, why says why.
TlsStep tls_handshake(TlsConnection *tls, char *why, size_t why_size);

// Writes up to length bytes; *done gets how many went out (TLS_DONE).
TlsStep tls_write(TlsConnection *tls, const char *data, size_t length, size_t *done);

// Reads up to size bytes; *done gets how many came (TLS_DONE, more than 0).
TlsStep tls_read(TlsConnection *tls, char *buffer, size_t size, size_t *done);

// Whether the handshake resumed the server's earlier session.
bool tls_resumed(const TlsConnection *tls);

// Ends the connection (the socket stays the caller's) and keeps the
// server's newest session for the next connection. Null is fine.
void tls_close(TlsConnection *tls);
