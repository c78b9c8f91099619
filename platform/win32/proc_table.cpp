#include "platform/proc_table.h"

// Windows keeps no process file system: the footprint falls back to the PID
// file alone and discovery finds nothing.
void platform_set_proc_root(const char *) {}

int platform_list_processes(std::vector<PlatformProcess> *, std::vector<PlatformProcProblem> *) {
  return -1;
}

int platform_list_listeners(std::vector<PlatformListener> *, std::vector<PlatformProcProblem> *) {
  return -1;
}

int64_t platform_process_uid(int32_t) { return -1; }

// Windows users are not named by numbers that sockets or files carry here.
int64_t platform_user_id(const char *) { return -2; }

int platform_process_socket_inodes(int32_t, std::vector<uint64_t> *) { return -1; }

int platform_process_written_files(int32_t, std::vector<std::string> *) { return -1; }
