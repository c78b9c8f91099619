// A TCP server on 127.0.0.1 that plays a script to each client: it reads the
// request (up to the empty line that ends HTTP headers), then sends chunks
// with pauses between them, then closes, resets, or stays silent until the
// client goes away. For tests of HTTP clients and the page collectors; the
// hostile server picks a script per request.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct ScriptChunk {
  std::string data;
  int pause_before_ms = 0;
};

class ScriptedServer {
public:
  enum class End {
    Close,  // close the connection after the last chunk
    Reset,  // abort it with a reset (RST) after the last chunk
    Silent, // keep it open, sending nothing, until the client closes it
  };

  struct Script {
    std::vector<ScriptChunk> chunks;
    End end = End::Close;
  };
  // Chooses the script for a request (all that was read of it).
  using Picker = std::function<Script(const std::string &request)>;

  // Listens on a free port of 127.0.0.1 and serves up to max_connections
  // clients, one after the other, each with the same script.
  explicit ScriptedServer(std::vector<ScriptChunk> chunks, End end = End::Close,
                          int max_connections = 1);
  // Serves every client until destroyed, each on a thread of its own so that
  // a silent or trickling answer holds up no other, with the script that
  // pick chooses for its request. pick is called on those threads.
  struct PerRequest {};
  ScriptedServer(PerRequest, Picker pick);
  // A server that answers every client with one whole text, then closes.
  static std::vector<ScriptChunk> whole(const std::string &answer);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer &) = delete;
  ScriptedServer &operator=(const ScriptedServer &) = delete;

  int port() const { return port_; }
  // The requests received so far, in order.
  std::vector<std::string> requests() const;
  // Waits until n clients have been served to the end of the script (and,
  // when silent, have gone away); false after timeout_seconds.
  bool wait_served(int n, double timeout_seconds) const;

private:
  ScriptedServer(Picker pick, int max_connections, bool concurrent, int backlog,
                 size_t request_limit);
  void run();
  void serve(int fd);
  std::string receive_request(int fd);
  bool send_all(int fd, const std::string &data);

  Picker pick_;
  int max_connections_; // below 0: no limit
  bool concurrent_;
  size_t request_limit_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> requests_;
  int served_ = 0;
  std::vector<std::thread> connections_; // touched by the accepting thread only
  std::thread thread_;
};

// Whether a client's receive reports a reset of the connection as an error,
// as the system should. Wine 8 reports it as an orderly close, so that a
// page cut by a reset reads as a whole one there. Found out once, with a
// scripted server.
bool resets_reach_the_client();

} // namespace testsupport
