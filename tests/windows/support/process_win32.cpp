// The helpers of tests/support/process.h that a Windows test can use:
// temporary directories, whole files, and free loopback ports. Running
// programs (run_command, Process) is left to the POSIX tests.
#include "tests/support/process.h"

#include <winsock.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "tests/support/loopback.h"

namespace testsupport {

TempDir::TempDir() {
  char base[MAX_PATH + 1];
  const DWORD length = GetTempPathA(sizeof base, base);
  if (length == 0 || length > MAX_PATH) {
    throw std::runtime_error("GetTempPathA failed");
  }
  std::string prefix(base, length);
  if (prefix.back() == '\\') {
    prefix.pop_back();
  }
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    const std::string candidate = prefix + "\\ostrik-" + std::to_string(GetCurrentProcessId()) +
                                  "-" + std::to_string(GetTickCount() + attempt);
    if (CreateDirectoryA(candidate.c_str(), nullptr)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("no temporary directory could be made");
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string &path, const std::string &content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) {
    throw std::runtime_error("cannot write " + path);
  }
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int free_tcp_port() { return loopback::free_port(false); }
int free_udp_port() { return loopback::free_port(true); }

bool wait_for_tcp_port(int port, double timeout_seconds) {
  loopback::start_sockets();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
  do {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s != INVALID_SOCKET) {
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = inet_addr("127.0.0.1");
      addr.sin_port = htons(static_cast<u_short>(port));
      const bool up = connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
      closesocket(s);
      if (up) {
        return true;
      }
    }
    Sleep(50);
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

} // namespace testsupport
