// The certificates that each HTTPS site of the monitored servers serves:
// for every TLS port of a server and every virtual-host name known for it, a
// handshake of the module's own with that name as SNI, at a slow interval,
// without credentials. What clients are served, not what files say: no
// certificate or key file is ever read.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "collect/pages/tls.h"
#include "config/server_entry.h"

// The longest name that gets a row (its index is the port, the length and
// one arc per byte), as for the per-host log table; at most this many names
// per TLS port and rows in all, so that a hostile page cannot make the
// module handshake without end.
constexpr size_t CERT_NAME_MAX = 100;
constexpr size_t CERT_NAMES_PER_PORT = 100;
constexpr size_t CERT_ROW_LIMIT = 1000;
// Seconds between two handshakes with one site (the default), and after a
// handshake that failed.
constexpr int CERT_DEFAULT_INTERVAL = 3600;
constexpr int CERT_RETRY_INTERVAL = 300;
// One handshake may last this long; a tick spends at most about this long
// and makes at most this many handshakes, so that the collection of the
// other tables is never held up for long.
constexpr int CERT_HANDSHAKE_TIMEOUT_MS = 3000;
constexpr int CERT_HANDSHAKES_PER_TICK = 4;

// How the last handshake with a site went.
enum CertOutcome : int32_t {
  CERT_NOT_TRIED = 0,
  CERT_OK = 1,             // a certificate was read (whether it verified or not)
  CERT_CONNECT_FAILED = 2, // no connection
  CERT_TIMED_OUT = 3,      // no whole handshake within the time-out
  CERT_TLS_FAILED = 4,     // the handshake failed, or the server sent no certificate
};

// Whether the certificate covers the name asked for.
enum CertNameMatch : int32_t {
  CERT_NAME_MATCHES = 1,
  CERT_NAME_NOT_COVERED = 2,
  CERT_NAME_NOT_ASKED = 3, // the row of a port with no name known: no SNI sent
};

// One TLS site an info page names: a port, the address to reach it at
// (empty: the server's), and the names of its virtual hosts.
struct TlsSite {
  int32_t port = 0;
  std::string address;
  std::vector<std::string> names;
};

// The TLS sites of an info page already reduced to text by html_to_text:
// the ports of the virtual hosts that say "SSLEngine on", the Listen lines
// whose protocol is https, and every Listen port when the main server says
// "SSLEngine on"; with the ServerName and ServerAlias of the port's virtual
// hosts (lower case, without scheme or port; names unlike host names are
// left out).
std::vector<TlsSite> tls_sites_from_info(const char *text);

// Keeps the TLS sites of entry's freshly read info page (text as above).
void note_info_tls_sites(const ServerEntry *entry, const char *text);

// One row of the certificate table.
struct CertificateView {
  int32_t port;       // the TLS port
  int32_t serverPort; // the port of the server it belongs to (its other rows' index)
  const char *name;   // the name sent as SNI; empty: none
  size_t nameLength;
  int32_t outcome;                // CertOutcome of the last handshake
  int32_t checkedAt;              // platform_time() of the last handshake; 0 none
  const TlsPeerCertificate *cert; // the last certificate read; null before one
  int32_t nameMatch;              // CertNameMatch, with cert
  const char *problem;            // why the last handshake failed, or empty
};

// Works out the sites of every listed server (HTTPS lines and servers found
// so, the TLS sites of their info pages, the names their logs give), then
// makes the handshakes that are due: never-tried sites first, at most
// CERT_HANDSHAKES_PER_TICK and about one time-out per call.
void refresh_certificates(void);

// The first half of refresh_certificates: works out the sites and rows,
// without a handshake.
void plan_certificate_rows(void);

// Tests: records a handshake's result in the row at index, as if made at
// checkedAt (cert null: none read). False when there is no such row.
bool certificate_set_for_tests(size_t index, int32_t outcome, const TlsPeerCertificate *cert,
                               int32_t checkedAt);

// The rows, in OID order: by port, then name length, then bytes.
size_t certificate_count(void);
bool certificate_at(size_t index, CertificateView *out);

// Seconds between two handshakes with one site; 0 or less: the default.
void certificates_set_interval(int seconds);

// Forgets every site and row (module unload).
void certificates_release(void);
