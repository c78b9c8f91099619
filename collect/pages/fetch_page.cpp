#include "collect/pages/fetch_page.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "collect/pages/tls.h"
#include "pluginlib/socket.h"
#include "varnock.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kReceiveBufferSize = 128000;
constexpr int kRequestSize = 1024;
constexpr int kLogLineSize = 2048; // the longest line is the request trace
// How often a run's progress is called while nothing ends.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

// Every receive of fetch_page lands here first; the contents mean nothing
// between calls.
char receive_buffer[kReceiveBufferSize];

int receive_timeout = FETCH_PAGE_RECEIVE_TIMEOUT;

// The request as sent, with the credentials in the Authorization line, or
// for the debug log with "<hidden>" in their place. host_line is a whole
// "Host: ...\r\n" line or empty. Its length, or -1 when it does not fit the
// buffer.
int compose_request(char *buffer, const char *path, const char *credentials,
                    const char *host_line) {
  // Empty credentials (a server found by discovery without a user) send no
  // Authorization line at all; a configured user always has some.
  const bool authorize = credentials[0] != '\0';
  const int length = std::snprintf(buffer, kRequestSize,
                                   "GET %s HTTP/1.0\r\n"
                                   "%s"
                                   "%s%s%s"
                                   "User-Agent: varnock-ostrik\r\n"
                                   "Accept: */*\r\n"
                                   "\r\n",
                                   path, host_line, authorize ? "Authorization: Basic " : "",
                                   credentials, authorize ? "\r\n" : "");
  return length < 0 || length >= kRequestSize ? -1 : length;
}

// host as a URL writes it: an IPv6 address in brackets.
std::string url_host(const char *host) {
  return std::strchr(host, ':') != nullptr ? "[" + std::string(host) + "]" : std::string(host);
}

} // namespace

// One request of a PageFetches and what became of it.
struct PageFetches::Fetch {
  const char *host = nullptr;
  uint16_t port = 0;
  ServerEntry *entry = nullptr; // a server reached as its entry says; null: host
  int timeout = 0;              // seconds; 0 the module-wide receive time-out
  TlsConnection *tls = nullptr;
  bool handshaking = false; // TLS: handshake, then the request, under way
  bool handshaken = false;
  bool want_write = false; // wait until the socket is writable
  std::string request;     // TLS: the request, sent as the handshake allows
  size_t request_sent = 0;
  const char *path = nullptr;
  const char *credentials = nullptr;
  char *own = nullptr;   // the answer's block, unless the caller lent one
  char **page = nullptr; // where the answer grows: &own, or the caller's
  PageFetches *owner = nullptr;
  int received = -1;
  size_t capacity = 0;   // bytes of *page as this fetch last sized it; 0: not yet
  bool released = false; // the answer's block is freed (release)
  FetchEnd end = FETCH_NOT_SENT;
  PlatformSocket sock = PLATFORM_INVALID_SOCKET;
  uint32_t address = 0;     // network byte order
  PlatformAddress target{}; // where an entry's server is reached
  bool connecting = false;  // the connection is under way
  Clock::time_point sent{};
  Clock::time_point deadline{};
  Clock::time_point lastData{};
  // The log lines of this fetch, held back until the caller takes its
  // answer: with every request under way at once, the lines of all
  // servers would otherwise interleave.
  std::string log; // lines, each as level byte, text, NUL

  ~Fetch() {
    tls_close(tls);
    platform_close_socket(sock);
    std::free(own);
  }

  void note(int level, const char *format, ...) PLATFORM_PRINTF_FORMAT(3, 4);
  void write_log();
  void start();
  void connect_failed(int error);
  void end_connect();
  void connected();
  void tls_progress();
  bool compose(char *request, int *length);
  void request_sent_now();
  void send_request();
  long read_some(char *buffer, size_t size);
  void receive();
  bool receive_once();
  void time_out();
  void cut();
  bool grow(size_t needed);
  void fit();
  // Bytes of the answer that count toward the shared bound.
  size_t held() const { return received > 0 && !released ? static_cast<size_t>(received) : 0; }
  bool waiting() const { return received >= 0 || connecting || handshaking; }
  bool over() const { return sock == PLATFORM_INVALID_SOCKET || !waiting(); }
  bool reached() const { return entry != nullptr && entry->reach.address.family != 0; }
  bool https() const { return reached() && entry->reach.scheme == SCHEME_HTTPS; }
  int seconds() const { return timeout > 0 ? timeout : receive_timeout; }
  void finish(FetchEnd how) {
    end = how;
    fit();
    tls_close(tls);
    tls = nullptr;
    handshaking = false;
    want_write = false;
    platform_close_socket(sock);
    sock = PLATFORM_INVALID_SOCKET;
  }
};

void PageFetches::Fetch::note(int level, const char *format, ...) {
  char line[kLogLineSize];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length < 0) {
    return;
  }
  const size_t before = log.size();
  try {
    log.push_back(static_cast<char>(level));
    log.append(line);
    log.push_back('\0');
  } catch (const std::bad_alloc &) {
    log.resize(before); // no room: this line is lost, the others are kept whole
  }
}

void PageFetches::Fetch::write_log() {
  for (size_t at = 0; at < log.size();) {
    const int level = static_cast<unsigned char>(log[at]);
    const char *text = log.c_str() + at + 1;
    VarnockSyslog(level, "%s", text);
    at += 2 + std::strlen(text);
  }
  log.clear();
}

// The steps of a fetch up to its connection: arguments, address, socket,
// and the connection begun. On any failure the fetch is over with -1.
void PageFetches::Fetch::start() {
  if (host == nullptr || path == nullptr || credentials == nullptr) {
    note(VARNOCK_LOG_DEBUG, "ostrik: fetch_page: bogus args\n");
    return;
  }
  note(VARNOCK_LOG_DEBUG, "ostrik: fetch_page: fetching url %s\n", path);
  note(VARNOCK_LOG_DEBUG, "ostrik: fetch_page: contact webserver %s:%d\n", host,
       static_cast<int>(port));

  if (reached()) {
    target = entry->reach.address;
  } else {
    address = platform_inet_addr(host);
    if (address == PLATFORM_INADDR_NONE && platform_resolve_ipv4(host, &address) != 0) {
      return;
    }
    target.family = PLATFORM_IPV4;
    std::memcpy(target.bytes, &address, 4);
  }
  sock = get_tcp_socket_for(&target);
  if (sock == PLATFORM_INVALID_SOCKET) {
    if (reached()) {
      connect_failed(platform_socket_error());
    }
    return;
  }
  // A server whose listen queue is full lets a connection hang for the
  // system's connect time-out (minutes): the connection is made alongside
  // the others, and gets the receive time-out too.
  deadline = Clock::now() + std::chrono::seconds(seconds());
  const int begun = platform_connect_begin(sock, &target, platform_htons(port));
  if (begun < 0) {
    connect_failed(platform_socket_error());
  } else if (begun > 0) {
    connecting = true;
  } else {
    connected();
  }
}

void PageFetches::Fetch::connect_failed(int error) {
  if (reached()) {
    char text[PLATFORM_ADDRESS_TEXT];
    platform_format_address(&target, text, sizeof text);
    note(VARNOCK_LOG_WARNING,
         "ostrik: fetch_page: failed to connect to HTTP server %s at %s port %u: errno %d\n", host,
         text, static_cast<unsigned>(port), error);
  } else {
    note(VARNOCK_LOG_WARNING,
         "ostrik: fetch_page: failed to connect to HTTP server "
         "%s:serverip:%u:port:%u:errno:%d\n",
         host, static_cast<unsigned>(address), static_cast<unsigned>(platform_htons(port)), error);
  }
  connecting = false;
  finish(FETCH_NOT_SENT);
}

// A connection under way has been decided.
void PageFetches::Fetch::end_connect() {
  connecting = false;
  want_write = false;
  if (platform_connect_end(sock) < 0) {
    connect_failed(platform_socket_error());
    return;
  }
  connected();
}

// The connection is made: plain HTTP sends its request at once; HTTPS
// begins its handshake on the socket, which stays non-blocking so that no
// step of TLS can hold the agent beyond the time-out.
void PageFetches::Fetch::connected() {
  if (!https()) {
    send_request();
    return;
  }
  char why[256] = "";
  if (platform_set_blocking(sock, 0) != 0 ||
      (tls = tls_open(entry, sock, why, sizeof why)) == nullptr) {
    note(VARNOCK_LOG_WARNING, "ostrik: fetch_page: no TLS for %s port %u: %s\n", host,
         static_cast<unsigned>(port), why);
    finish(FETCH_TLS_FAILED);
    return;
  }
  char text[kRequestSize];
  int length = 0;
  if (!compose(text, &length)) {
    return;
  }
  request.assign(text, static_cast<size_t>(length));
  request_sent = 0;
  handshaking = true;
  tls_progress();
}

// Takes the handshake, then the request, as far as the socket allows.
void PageFetches::Fetch::tls_progress() {
  want_write = false;
  if (!handshaken) {
    char why[256] = "";
    const TlsStep step = tls_handshake(tls, why, sizeof why);
    if (step == TLS_WANT_READ || step == TLS_WANT_WRITE) {
      want_write = step == TLS_WANT_WRITE;
      return;
    }
    if (step != TLS_DONE) {
      if (step == TLS_CERT_REFUSED) {
        note(VARNOCK_LOG_WARNING, "ostrik: fetch_page: certificate of %s port %u refused: %s\n",
             host, static_cast<unsigned>(port), why);
      } else {
        note(VARNOCK_LOG_WARNING, "ostrik: fetch_page: TLS handshake with %s port %u failed: %s\n",
             host, static_cast<unsigned>(port), why);
      }
      finish(step == TLS_CERT_REFUSED ? FETCH_CERT_REFUSED : FETCH_TLS_FAILED);
      return;
    }
    handshaken = true;
    note(VARNOCK_LOG_DEBUG, "ostrik: fetch_page: TLS with %s port %u, session %s\n", host,
         static_cast<unsigned>(port), tls_resumed(tls) ? "resumed" : "new");
  }
  while (request_sent < request.size()) {
    size_t done = 0;
    const TlsStep step =
        tls_write(tls, request.data() + request_sent, request.size() - request_sent, &done);
    if (step == TLS_WANT_READ || step == TLS_WANT_WRITE) {
      want_write = step == TLS_WANT_WRITE;
      return;
    }
    if (step != TLS_DONE) {
      note(VARNOCK_LOG_WARNING, "ostrik: fetch_page: send of HTTP request failed\n");
      finish(FETCH_NOT_SENT);
      return;
    }
    request_sent += done;
  }
  handshaking = false;
  request_sent_now();
}

// The request on the wire, once connected. On failure the fetch is over
// with -1.
// The request into request (kRequestSize bytes) and its length, with the
// trace lines that show it. False, the fetch over, when it does not fit.
bool PageFetches::Fetch::compose(char *text, int *length) {
  if (reached()) {
    char where[PLATFORM_ADDRESS_TEXT];
    platform_format_address(&target, where, sizeof where);
    note(VARNOCK_LOG_DEBUG, "ostrik: fetch_page: connected to server %s, %s\n", host, where);
  } else {
    note(VARNOCK_LOG_DEBUG, "ostrik: fetch_page: connected to server %s, %lx\n", host,
         static_cast<unsigned long>(address));
  }
  // A server named by a "server" line is told which host it was asked as,
  // for name-based virtual hosts.
  std::string host_line;
  if (reached() && entry->reach.host[0] != '\0') {
    host_line = "Host: " + url_host(entry->reach.host) + ":" + std::to_string(port) + "\r\n";
  }
  *length = compose_request(text, path, credentials, host_line.c_str());
  if (*length < 0) {
    note(VARNOCK_LOG_WARNING, "ostrik: fetch_page: request for %.200s too long\n", path);
    finish(FETCH_NOT_SENT);
    return false;
  }
  // The trace shows the request without the credentials: a log file is no
  // place for a password.
  char shown[kRequestSize];
  if (compose_request(shown, path, "<hidden>", host_line.c_str()) < 0) {
    shown[0] = '\0';
  }
  note(VARNOCK_LOG_DEBUG, "ostrik: fetch_page: sending request %d bytes\n", *length);
  note(VARNOCK_LOG_DEBUG, "%s\n", shown);
  return true;
}

// The whole answer must arrive within the receive time-out of the request.
// A server that sends a byte now and then would otherwise keep the agent
// for as long as it likes.
void PageFetches::Fetch::request_sent_now() {
  received = 0;
  capacity = 0;
  sent = Clock::now();
  lastData = sent;
  deadline = sent + std::chrono::seconds(seconds());
}

void PageFetches::Fetch::send_request() {
  char text[kRequestSize];
  int length = 0;
  if (!compose(text, &length)) {
    return;
  }
  if (platform_send(sock, text, static_cast<size_t>(length)) < 0) {
    note(VARNOCK_LOG_WARNING, "ostrik: fetch_page: send of HTTP request failed\n");
    finish(FETCH_NOT_SENT);
    return;
  }
  request_sent_now();
}

// One read of at most size bytes, plain or through TLS: bytes read, 0 at
// the server's close, -1 when the read failed, -2 when TLS has nothing
// whole yet and waits for the socket.
long PageFetches::Fetch::read_some(char *buffer, size_t size) {
  if (tls == nullptr) {
    const long got = platform_recv(sock, buffer, size);
    return got < 0 ? -1 : got;
  }
  size_t done = 0;
  switch (tls_read(tls, buffer, size, &done)) {
  case TLS_DONE:
    return static_cast<long>(done);
  case TLS_CLOSED:
    return 0;
  case TLS_WANT_WRITE:
    want_write = true;
    return -2;
  case TLS_WANT_READ:
    want_write = false;
    return -2;
  default:
    return -1;
  }
}

// Reads what a readable socket has. TLS may hold more than one read takes
// without the socket showing it, so its reads go on until it waits.
void PageFetches::Fetch::receive() {
  while (receive_once() && tls != nullptr) {
  }
}

// One read: true when data was taken and the fetch goes on.
bool PageFetches::Fetch::receive_once() {
  const int room = FETCH_PAGE_MAX_BYTES - received;
  if (room == 0) {
    // The page is full. Only a server that has more to send is told so.
    const long more = read_some(receive_buffer, 1);
    if (more == -2) {
      return false;
    }
    if (more > 0) {
      note(VARNOCK_LOG_WARNING,
           "ostrik: fetch_page: page from %s:%u exceeds 16 MiB, connection closed\n", host,
           static_cast<unsigned>(port));
      finish(FETCH_TOO_LONG);
    } else {
      finish(more == 0 ? FETCH_CLOSED : FETCH_READ_FAILED);
    }
    return false;
  }
  const int want = room < kReceiveBufferSize - 1 ? room : kReceiveBufferSize - 1;
  const long result = read_some(receive_buffer, static_cast<size_t>(want));
  if (result == -2) {
    return false;
  }
  if (result <= 0) {
    finish(result == 0 ? FETCH_CLOSED : FETCH_READ_FAILED);
    return false;
  }
  lastData = Clock::now();
  if (!owner->make_room(this, static_cast<size_t>(result))) {
    return false; // this answer was the largest: cut where it stood
  }
  if (!grow(static_cast<size_t>(received) + static_cast<size_t>(result) + 1)) {
    // What arrived before stays in the old block, NUL-terminated.
    note(VARNOCK_LOG_ERR, "ostrik: fetch_page: realloc of page buffer failed %d\n", errno);
    finish(FETCH_NO_MEMORY);
    return false;
  }
  std::memcpy(*page + received, receive_buffer, static_cast<size_t>(result));
  received += static_cast<int>(result);
  owner->held_ += static_cast<size_t>(result);
  (*page)[received] = '\0';
  return true;
}

// Makes *page hold at least needed bytes. The block doubles, up to the page
// bound: where the allocator cannot grow a block in place, growing it by
// each read's bytes copied what it held every time, gigabytes for a 16 MiB
// page. A doubling that cannot be had falls back to what is needed.
bool PageFetches::Fetch::grow(size_t needed) {
  if (needed <= capacity) {
    return true;
  }
  const size_t bound = static_cast<size_t>(FETCH_PAGE_MAX_BYTES) + 1;
  const size_t doubled = capacity * 2 < bound ? capacity * 2 : bound;
  for (const size_t size : {doubled, needed}) {
    if (size < needed) {
      continue;
    }
    if (char *grown = static_cast<char *>(std::realloc(*page, size))) {
      *page = grown;
      capacity = size;
      return true;
    }
  }
  return false;
}

// An ended answer gives back the room it did not use, so that the blocks
// kept are as large as their answers.
void PageFetches::Fetch::fit() {
  if (page == nullptr || *page == nullptr || received < 0 ||
      capacity <= static_cast<size_t>(received) + 1) {
    return;
  }
  // Giving back can only fail by keeping the block as it is.
  if (char *fitted = static_cast<char *>(std::realloc(*page, static_cast<size_t>(received) + 1))) {
    *page = fitted;
    capacity = static_cast<size_t>(received) + 1;
  }
}

// Cut for the shared bound: the connection ends as too long, and only the
// answer's head is kept, so that its status line still tells the outcome.
void PageFetches::Fetch::cut() {
  note(VARNOCK_LOG_WARNING,
       "ostrik: fetch_page: page from %s:%u cut at %d bytes: the answers of one refresh may "
       "hold %d MiB together\n",
       host, static_cast<unsigned>(port), received, FETCH_PAGES_MAX_BYTES / (1024 * 1024));
  const int keep = received < FETCH_PAGE_CUT_KEEP ? received : FETCH_PAGE_CUT_KEEP;
  owner->held_ -= static_cast<size_t>(received - keep);
  received = keep;
  if (*page != nullptr) {
    (*page)[keep] = '\0';
  }
  // Either end gives back the rest of the block (fit).
  if (sock != PLATFORM_INVALID_SOCKET) {
    finish(FETCH_TOO_LONG);
  } else {
    end = FETCH_TOO_LONG;
    fit();
  }
}

// The receive time-out has run out with the connection open, or still
// under way.
void PageFetches::Fetch::time_out() {
  if (connecting) {
    connect_failed(platform_connect_timed_out_error());
    return;
  }
  if (handshaking) {
    note(VARNOCK_LOG_WARNING,
         "ostrik: fetch_page: TLS handshake with %s port %u took over %d seconds\n", host,
         static_cast<unsigned>(port), seconds());
    finish(FETCH_TIMED_OUT);
    return;
  }
  // Waits are counted in whole seconds: a server that sent nothing after
  // the first second of its time has been silent for the time-out, and
  // silence is not worth a line. One that was still sending is cut off.
  if (received < FETCH_PAGE_MAX_BYTES && lastData - sent >= std::chrono::seconds(1)) {
    note(VARNOCK_LOG_WARNING,
         "ostrik: fetch_page: answer from %s:%u took over %d seconds, connection closed\n", host,
         static_cast<unsigned>(port), seconds());
  }
  finish(FETCH_TIMED_OUT);
}

PageFetches::PageFetches(size_t count)
    : fetches_(new (std::nothrow) Fetch[count > 0 ? count : 1]), capacity_(count) {
  if (!fetches_) {
    VarnockSyslog(VARNOCK_LOG_ERR, "ostrik: fetch_page: no memory for %lu requests\n",
                  static_cast<unsigned long>(count));
    capacity_ = 0;
  }
}

PageFetches::~PageFetches() = default;

// Room for more bytes of asking's answer within the shared bound: while it
// is lacking, the answer holding the most is cut. False when that was
// asking's own.
bool PageFetches::make_room(Fetch *asking, size_t more) {
  const size_t count = size_ < capacity_ ? size_ : capacity_;
  while (held_ + more > FETCH_PAGES_MAX_BYTES) {
    Fetch *largest = asking;
    size_t most = asking->held() + more;
    for (size_t i = 0; i < count; ++i) {
      if (fetches_[i].held() > most) {
        largest = &fetches_[i];
        most = largest->held();
      }
    }
    if (largest == asking) {
      asking->cut();
      return false;
    }
    largest->cut();
  }
  return true;
}

void PageFetches::add(const char *host, uint16_t port, const char *path, const char *credentials,
                      char **page) {
  if (size_ >= capacity_) {
    ++size_; // taken as no request sent
    return;
  }
  Fetch &f = fetches_[size_++];
  f.host = host;
  f.port = port;
  f.path = path;
  f.credentials = credentials;
  f.page = page != nullptr ? page : &f.own;
  f.owner = this;
}

void PageFetches::add(ServerEntry *entry, const char *path, char **page, bool withhold) {
  const size_t at = size_;
  add(entry->reach.host[0] != '\0' ? entry->reach.host : "127.0.0.1",
      static_cast<uint16_t>(entry->port & 0xFFFF), path, withhold ? "" : entry->credentials, page);
  if (at < capacity_) {
    fetches_[at].entry = entry;
    fetches_[at].timeout = entry->reach.timeout;
  }
}

bool PageFetches::ended(size_t i) const {
  return i >= size_ || i >= capacity_ || fetches_[i].over();
}

void PageFetches::release(size_t i) {
  if (i >= size_ || i >= capacity_ || fetches_[i].released) {
    return;
  }
  Fetch &f = fetches_[i];
  held_ -= f.held();
  f.released = true;
  std::free(f.own);
  f.own = nullptr;
}

void PageFetches::run(Progress progress, void *context) {
  const size_t count = size_ < capacity_ ? size_ : capacity_;
  for (size_t i = 0; i < count; ++i) {
    fetches_[i].start();
  }
  // The sockets still waited on, and which of them are readable.
  std::unique_ptr<PlatformSocket[]> socks(new (std::nothrow) PlatformSocket[count > 0 ? count : 1]);
  std::unique_ptr<size_t[]> which(new (std::nothrow) size_t[count > 0 ? count : 1]);
  std::unique_ptr<unsigned char[]> ready(new (std::nothrow) unsigned char[count > 0 ? count : 1]);
  std::unique_ptr<unsigned char[]> connecting(
      new (std::nothrow) unsigned char[count > 0 ? count : 1]);
  // How many fetches were over when progress last heard of them, and when.
  size_t over_before = 0;
  Clock::time_point told = Clock::now();
  for (;;) {
    const Clock::time_point now = Clock::now();
    int open = 0;
    Clock::time_point first = Clock::time_point::max();
    size_t over = 0;
    for (size_t i = 0; i < count; ++i) {
      Fetch &f = fetches_[i];
      if (!f.over() && now >= f.deadline) {
        f.time_out();
      }
      if (f.over()) {
        ++over;
        continue;
      }
      if (!socks || !which || !ready || !connecting) {
        f.finish(FETCH_READ_FAILED); // no memory to wait on it
        continue;
      }
      socks[open] = f.sock;
      connecting[open] = f.connecting || f.want_write ? 1 : 0;
      which[open] = i;
      ++open;
      if (f.deadline < first) {
        first = f.deadline;
      }
    }
    if (open == 0) {
      break;
    }
    if (progress != nullptr && (over > over_before || now - told >= kProgressInterval)) {
      progress(context, over > over_before);
      over_before = over;
      told = Clock::now();
    }
    if (progress != nullptr && told + kProgressInterval < first) {
      first = told + kProgressInterval;
    }
    const auto wait = std::max<long long>(
        0, std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now()).count());
    const PlatformWait result =
        platform_wait_any(socks.get(), connecting.get(), open,
                          wait > INT_MAX ? INT_MAX : static_cast<int>(wait), ready.get());
    if (result == PLATFORM_WAIT_ERROR) {
      for (int k = 0; k < open; ++k) {
        fetches_[which[k]].finish(FETCH_READ_FAILED);
      }
      break;
    }
    if (result == PLATFORM_WAIT_READY) {
      for (int k = 0; k < open; ++k) {
        Fetch &f = fetches_[which[k]];
        // A fetch may have been cut meanwhile to make room for another.
        if (ready[k] == 0 || f.over()) {
          continue;
        }
        if (f.connecting) {
          f.end_connect();
        } else if (f.handshaking) {
          f.tls_progress();
        } else {
          f.receive();
        }
      }
    }
  }
}

int PageFetches::take(size_t i, const char **page, FetchEnd *end, bool quiet) {
  if (i >= size_ || i >= capacity_) {
    *page = nullptr;
    *end = FETCH_NOT_SENT;
    return -1;
  }
  Fetch &f = fetches_[i];
  if (quiet) {
    f.log.clear();
  } else {
    f.write_log();
  }
  *page = *f.page;
  *end = f.end;
  return f.received;
}

void fetch_page_set_receive_timeout(int seconds) {
  receive_timeout = seconds > 0 ? seconds : FETCH_PAGE_RECEIVE_TIMEOUT;
}

int fetch_page_receive_timeout(void) { return receive_timeout; }

int fetch_page(const char *host, uint16_t port, const char *path, const char *credentials,
               char **page) {
  return fetch_page_ending(host, port, path, credentials, page, nullptr);
}

int fetch_page_ending(const char *host, uint16_t port, const char *path, const char *credentials,
                      char **page, enum FetchEnd *end) {
  FetchEnd ignored = FETCH_NOT_SENT;
  FetchEnd &ending = end != nullptr ? *end : ignored;
  ending = FETCH_NOT_SENT;
  if (page == nullptr) {
    VarnockSyslog(VARNOCK_LOG_DEBUG, "ostrik: fetch_page: bogus args\n");
    return -1;
  }
  PageFetches one(1);
  one.add(host, port, path, credentials, page);
  one.run();
  const char *answer = nullptr;
  return one.take(0, &answer, &ending);
}
