// Keeping what the access logs have told, and where each was left off,
// across a restart (a checkpoint file in the state directory) and a reload
// (handed to the agent): counts then go on, each line counted once.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "collect/logs/access_log.h"

// The checkpoint's name in the state directory, and the most of it read.
constexpr char LOG_CHECKPOINT_FILE[] = "ostrik-logs.checkpoint";
constexpr size_t LOG_CHECKPOINT_MAX = 256u << 20;

// The servers' saved states as text, and back. decode refuses (false,
// nothing out) what encode did not write whole: another version, a damaged
// or cut file, numbers out of bounds.
std::string log_checkpoint_encode(const std::vector<LogSavedServer> &servers);
bool log_checkpoint_decode(const std::string &text, std::vector<LogSavedServer> *out);

// Every listed server's saved state, and handing saved states to the
// listed servers of the same port (before their logs are looked for).
std::vector<LogSavedServer> log_checkpoint_gather(void);
void log_checkpoint_give(std::vector<LogSavedServer> servers);

// Keeps the checkpoint in directory (empty: none) after every refresh that
// changed it, written whole or not at all. start also reads the checkpoint
// there unless handedOn holds a reload's state, and gives it to the
// servers; a damaged one is refused with a log line and counts begin anew.
void log_checkpoint_start(const std::string &directory, const std::string *handedOn);
void log_checkpoint_stop(void);
// Writes the checkpoint now when it changed; false when it could not be.
bool log_checkpoint_save(void);
