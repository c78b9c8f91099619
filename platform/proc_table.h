// The machine's processes and listening TCP sockets, read from the process
// file system: which processes run, which sockets listen, and which process
// holds which socket. Linux reads /proc; a system without it (Windows, the
// BSDs) answers "unknown" (-1) to every call.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

// One running process: its id, its parent's, and its command name (as the
// kernel keeps it, at most 15 characters).
struct PlatformProcess {
  int32_t pid;
  int32_t ppid;
  char name[16];
};

// One listening TCP socket: IPv4 (the first 4 bytes of address) or IPv6,
// the address in network byte order, the port in host byte order, and the
// socket's inode, by which the processes that hold it are found, and the
// user that made it (whose process listens there; readable by anyone).
struct PlatformListener {
  bool ipv6;
  uint8_t address[16];
  uint16_t port;
  uint64_t inode;
  uint32_t uid;
};

// A line of the process file system that could not be read: the file and
// its line number (1 for a one-line file).
struct PlatformProcProblem {
  std::string path;
  int line;
};

// Where the process file system is read from: "/proc" unless a test or a
// benchmark points it at a tree of its own. Null restores "/proc".
void platform_set_proc_root(const char *root);

// Appends every process that could be read. A process that goes away while
// it is read is left out; one whose stat line cannot be read is left out and
// noted in *problems (when not null). 0, or -1 when processes cannot be
// listed here.
int platform_list_processes(std::vector<PlatformProcess> *out,
                            std::vector<PlatformProcProblem> *problems);

// Appends every TCP socket in the listening state, IPv4 then IPv6. A line
// that cannot be read is passed over and noted in *problems (when not null).
// 0 when at least one of the two tables could be read, else -1.
int platform_list_listeners(std::vector<PlatformListener> *out,
                            std::vector<PlatformProcProblem> *problems);

// The real user id of process pid (its status file's "Uid:" line, which
// anyone may read), or -1 when it cannot be read here.
int64_t platform_process_uid(int32_t pid);

// The user id of the user named name (the system's user database), -1 when
// there is no such user, or -2 when this build cannot look users up.
int64_t platform_user_id(const char *name);

// Appends the inodes of the sockets that process pid holds open. 0, or -1
// when its descriptors cannot be listed (gone, or not ours to see).
int platform_process_socket_inodes(int32_t pid, std::vector<uint64_t> *inodes);

// Appends the paths of the regular files that process pid holds open for
// writing (write-only or read-write), each once; files under /proc and /dev
// and files already deleted are left out. 0, or -1 when its descriptors
// cannot be listed (gone, or not ours to see).
int platform_process_written_files(int32_t pid, std::vector<std::string> *paths);
