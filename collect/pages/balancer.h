// The members of a server's proxy balancers (mod_proxy_balancer), read from
// the ProxyBalancer lines that its /server-status?auto page carries when the
// server sets "ProxyStatus On" or "ProxyStatus Full":
//   ProxyBalancer[0]Name: balancer://app
//   ProxyBalancer[0]Worker[1]Name: http://127.0.0.1:8081
//   ProxyBalancer[0]Worker[1]Status: Init Ok
//   ProxyBalancer[0]Worker[1]Elected: 3      (also Busy, Sent and Rcvd)
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "config/server_entry.h"

// The longest balancer name and member URL that get a row: the index (port,
// then each name's length and bytes) stays within an agent's longest OID.
// A member whose names are longer, or hold blanks or control characters,
// gets no row.
constexpr size_t BALANCER_NAME_MAX = 48;
constexpr size_t BALANCER_MEMBER_NAME_MAX = 64;
// At most this many members of one server are kept (a hostile page may
// list any number); the others are left out.
constexpr size_t BALANCER_MEMBER_LIMIT = 1000;
// The status flags kept as text, at most this many bytes.
constexpr size_t BALANCER_FLAGS_MAX = 64;

// A member's state, from its status flags; administrative states win over
// what the proxy found (a stopped member in error is stopped).
enum BalancerMemberState : int32_t {
  MEMBER_OK = 1,                  // "Ok" and none of the below
  MEMBER_ERROR = 2,               // "Err": the proxy found it failing
  MEMBER_DISABLED = 3,            // "Dis"
  MEMBER_STOPPED = 4,             // "Stop"
  MEMBER_DRAINING = 5,            // "Drn"
  MEMBER_HOT_STANDBY = 6,         // "Stby": used when no other member is
  MEMBER_HOT_SPARE = 7,           // "Spar": replaces an unusable member
  MEMBER_HEALTH_CHECK_FAILED = 8, // "HcFl" (mod_proxy_hcheck)
  MEMBER_OTHER = 9,               // not usable for another reason (no "Ok")
};

// Which of a member's values its lines gave.
enum : uint32_t {
  MEMBER_HAS_STATUS = 1u << 0,
  MEMBER_HAS_ELECTED = 1u << 1,
  MEMBER_HAS_BUSY = 1u << 2,
  MEMBER_HAS_SENT = 1u << 3,
  MEMBER_HAS_RECEIVED = 1u << 4,
};

// One member's row.
struct BalancerMemberView {
  const char *balancer;
  size_t balancerLength;
  const char *name; // the member's URL
  size_t nameLength;
  const char *flags; // the status flags as the page writes them
  int32_t state;     // BalancerMemberState
  uint64_t elected;  // requests the balancer sent it
  uint32_t busy;     // requests it is serving now
  uint64_t sent;     // bytes, as precise as the page writes them
  uint64_t received;
  uint32_t present; // MEMBER_HAS_*
};

// Replaces entry's members with those that the status page (plain text)
// lists, in the order of the table's index: balancer name length, its
// bytes, member URL length, its bytes. A member listed twice (two virtual
// hosts with balancers of one name) keeps its first listing. A page without
// ProxyBalancer lines leaves the server without members.
void parse_balancer_members(ServerEntry *entry, const char *text);

// The member at index in the table's order; false beyond the last.
bool balancer_member_at(const ServerEntry *entry, size_t index, BalancerMemberView *out);
size_t balancer_member_count(const ServerEntry *entry);

// The state that a status flags text gives.
int32_t balancer_member_state(const char *flags);

// A size as Apache's status page writes it ("512", "0K", "1.2K", "3.4M"):
// the number times its unit (K 1024, M 1024^2 ... E 1024^6), in bytes,
// rounded down; saturates at UINT64_MAX. False when text holds no number.
bool balancer_size_bytes(const char *text, uint64_t *bytes);
