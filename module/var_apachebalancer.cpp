// The balancer member table: one row per server, proxy balancer and member,
// indexed by the port, then the balancer's name and the member's URL (each
// its length, then one arc per byte). Rows run in OID order: by port, then
// as balancer_member_at orders a server's members.
#include <stdint.h>
#include <string.h>

#include "collect/pages/balancer.h"
#include "collect/pages/page_refresh.h"
#include "config/server_list.h"
#include "module/long_index.h"
#include "module/ostrik.h"
#include "varnock.h"

namespace {

// A row's index arcs: port, balancer length and bytes, member length and
// bytes.
struct RowKey {
  uint32_t arcs[3 + BALANCER_NAME_MAX + BALANCER_MEMBER_NAME_MAX];
  int32_t length;
};

// False (and no key) for names too long for a row's index, whatever the
// collector hands over.
bool key_of(const ServerEntry *entry, const BalancerMemberView &view, RowKey *key) {
  if (view.balancer == nullptr || view.name == nullptr || view.balancerLength > BALANCER_NAME_MAX ||
      view.nameLength > BALANCER_MEMBER_NAME_MAX) {
    return false;
  }
  int32_t n = 0;
  key->arcs[n++] = static_cast<uint32_t>(entry->port);
  key->arcs[n++] = static_cast<uint32_t>(view.balancerLength);
  for (size_t i = 0; i < view.balancerLength; ++i) {
    key->arcs[n++] = static_cast<unsigned char>(view.balancer[i]);
  }
  key->arcs[n++] = static_cast<uint32_t>(view.nameLength);
  for (size_t i = 0; i < view.nameLength; ++i) {
    key->arcs[n++] = static_cast<unsigned char>(view.name[i]);
  }
  key->length = n;
  return true;
}

unsigned char *answer_text(const char *text, size_t length, int32_t *valueLength) {
  const size_t kept = length < sizeof value_text - 1 ? length : sizeof value_text - 1;
  memcpy(value_text, text, kept);
  value_text[kept] = '\0';
  *valueLength = static_cast<int32_t>(kept);
  return reinterpret_cast<unsigned char *>(value_text);
}

unsigned char *answer_u64(uint64_t value, int32_t *valueLength) {
  value_counter64 = value;
  *valueLength = sizeof value_counter64;
  return reinterpret_cast<unsigned char *>(&value_counter64);
}

unsigned char *answer_int(int32_t value, int32_t *valueLength) {
  value_int = value;
  *valueLength = 4;
  return reinterpret_cast<unsigned char *>(&value_int);
}

// The column's value, or null when the member's lines did not give it.
unsigned char *member_column(const MibVariable *var, const ServerEntry *entry,
                             const BalancerMemberView &m, int32_t *valueLength) {
  // A column answers only in its descriptor's type: one whose magic and
  // type disagree gets no answer.
  const auto given = [&m, var](uint32_t bit) {
    const bool counter =
        bit == MEMBER_HAS_ELECTED || bit == MEMBER_HAS_SENT || bit == MEMBER_HAS_RECEIVED;
    return (m.present & bit) != 0 && counter == (var->type == VARNOCK_TYPE_COUNTER64);
  };
  switch (var->magic) {
  case 1:
    return answer_int(entry->port, valueLength);
  case 2:
    return answer_text(m.balancer, m.balancerLength, valueLength);
  case 3:
    return answer_text(m.name, m.nameLength, valueLength);
  case 4:
    return given(MEMBER_HAS_STATUS) ? answer_int(m.state, valueLength) : nullptr;
  case 5:
    return given(MEMBER_HAS_STATUS) ? answer_text(m.flags, strlen(m.flags), valueLength) : nullptr;
  case 6:
    return given(MEMBER_HAS_ELECTED) ? answer_u64(m.elected, valueLength) : nullptr;
  case 7:
    return given(MEMBER_HAS_BUSY) ? answer_int(static_cast<int32_t>(m.busy), valueLength) : nullptr;
  case 8:
    return given(MEMBER_HAS_SENT) ? answer_u64(m.sent, valueLength) : nullptr;
  case 9:
    return given(MEMBER_HAS_RECEIVED) ? answer_u64(m.received, valueLength) : nullptr;
  default:
    return nullptr;
  }
}

} // namespace

unsigned char *var_apachebalancer(MibVariable *var, uint32_t *oid, int32_t *oidLength,
                                  int32_t exact, int32_t *valueLength, void **writeMethod) {
  LongIndexAsk ask;
  if (!long_index_ask(var, oid, oidLength, exact, valueLength, writeMethod, &ask)) {
    return nullptr;
  }
  refresh_server_status();

  for (const ServerEntry *entry = server_list; entry != nullptr; entry = entry->next) {
    BalancerMemberView view;
    for (size_t i = 0; balancer_member_at(entry, i, &view); ++i) {
      RowKey key;
      if (!key_of(entry, view, &key) || !long_index_fits(ask, key.arcs, key.length)) {
        continue;
      }
      int32_t length = 0;
      unsigned char *value = member_column(var, entry, view, &length);
      bool pass = false;
      unsigned char *answer = long_index_answer(var, ask, key.arcs, key.length, value, length, oid,
                                                oidLength, valueLength, writeMethod, &pass);
      if (!pass) {
        return answer;
      }
    }
  }
  return nullptr;
}
