// HTTPS for the page fetches: TLS over a connected, non-blocking socket.
// Built on OpenSSL where the build has it (Linux); elsewhere tls_available()
// is false and every connection fails.
#pragma once

#include <stddef.h>

#include "config/server_entry.h"
#include "platform/net.h"
#include "pluginlib/tls_build.h"

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

// What a server's certificate says, as a client sees it: read by a
// handshake of its own that sends no credentials and reads no key.
struct TlsPeerCertificate {
  char subject[256]; // RFC 2253 text, characters outside printable ASCII escaped
  char issuer[256];
  int64_t notBefore; // seconds since the epoch, UTC
  int64_t notAfter;
  int32_t chainVerified; // 1 when the chain verified against the CA store
  int32_t nameMatches;   // 1 when it covers the name asked for, 0 not, -1 no name asked
  char problem[128];     // why the chain did not verify; empty when it did
};

struct TlsProbe;

// A TLS client on sock that sends name (a host name; empty: none) as SNI and
// takes whatever certificate the server sends: the chain and the name are
// checked afterwards, so that a certificate that fails is still read. ca
// names the CA file or directory to verify against (empty: the system's
// store). Null, with the reason in why, when no TLS context can be made.
TlsProbe *tls_probe_open(PlatformSocket sock, const char *name, const char *ca, char *why,
                         size_t why_size);
// Advances the probe's handshake (as tls_handshake; never TLS_CERT_REFUSED).
TlsStep tls_probe_step(TlsProbe *probe, char *why, size_t why_size);
// After a handshake that came to TLS_DONE: the server's certificate. False
// when the server sent none.
bool tls_probe_certificate(TlsProbe *probe, TlsPeerCertificate *out);
// Ends the probe (the socket stays the caller's). Null is fine.
void tls_probe_close(TlsProbe *probe);
// Releases the contexts the probes keep, one per CA store (module unload).
void tls_probe_release(void);
