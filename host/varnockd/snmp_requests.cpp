// Requests on a module subtree, from Net-SNMP's varbinds to the agent
// library's walk or the collector's snapshot and back.
#include "host/varnockd/snmp_requests.h"

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>

#include "host/varnockd/collector.h"
#include "varnock_host.h"

namespace varnockd {

namespace {

// A get-next skips answers it cannot carry; each skip moves strictly
// forward, and this bounds the number of them in one request.
constexpr int kMaxSkippedAnswers = 10000;

// Serving from snapshots: the collector whose latest snapshot answers.
const Collector *g_collector = nullptr;

// Net-SNMP arcs (unsigned long) to the agent library's 32-bit arcs.
bool to_host_oid(const oid *name, size_t length, uint32_t *out, int32_t *outLength) {
  if (length > VARNOCK_HOST_MAX_OID)
    return false;
  for (size_t i = 0; i < length; ++i) {
    if (name[i] > UINT32_MAX)
      return false;
    out[i] = static_cast<uint32_t>(name[i]);
  }
  *outLength = static_cast<int32_t>(length);
  return true;
}

void to_snmp_oid(const VarnockAnswer &answer, oid *out, size_t *outLength) {
  for (int32_t i = 0; i < answer.oidLength; ++i)
    out[i] = answer.oid[i];
  *outLength = static_cast<size_t>(answer.oidLength);
}

// True when the answer fits the type its descriptor gives: a 4-byte value
// for the 32-bit integer types, 8 bytes for a Counter64, any length for a
// text. A misfit is a module fault.
bool answer_fits(const VarnockAnswer &answer) {
  switch (answer.type) {
  case VARNOCK_TYPE_OCTET_STRING:
    return answer.valueLength >= 0;
  case VARNOCK_TYPE_INTEGER:
  case VARNOCK_TYPE_COUNTER32:
  case VARNOCK_TYPE_GAUGE32:
    return answer.valueLength == 4;
  case VARNOCK_TYPE_COUNTER64:
    return answer.valueLength == 8;
  default:
    return false;
  }
}

// Stores a fitting answer in the varbind, typed as its descriptor says.
void set_value(netsnmp_variable_list *vb, const VarnockAnswer &answer) {
  if (answer.type == VARNOCK_TYPE_OCTET_STRING) {
    snmp_set_var_typed_value(vb, ASN_OCTET_STR, answer.value,
                             static_cast<size_t>(answer.valueLength));
  } else if (answer.type == VARNOCK_TYPE_COUNTER64) {
    uint64_t value; // the module's host-order 64 bits, as Net-SNMP's two halves
    memcpy(&value, answer.value, sizeof value);
    struct counter64 c64;
    c64.high = static_cast<u_long>(value >> 32);
    c64.low = static_cast<u_long>(value & 0xFFFFFFFFu);
    snmp_set_var_typed_value(vb, ASN_COUNTER64, &c64, sizeof c64);
  } else if (answer.type == VARNOCK_TYPE_INTEGER) {
    int32_t value;
    memcpy(&value, answer.value, sizeof value);
    snmp_set_var_typed_value(vb, ASN_INTEGER, &value, sizeof value);
  } else {
    uint32_t value; // Counter32, Gauge32: unsigned
    memcpy(&value, answer.value, sizeof value);
    snmp_set_var_typed_value(vb, answer.type, &value, sizeof value);
  }
}

void log_bad_answer(const VarnockAnswer &answer) {
  const char *name = answer.variable != nullptr ? answer.variable->name : "?";
  snmp_log(LOG_ERR,
           "varnockd: variable %s answered a value that does not fit its type %d (length %d)\n",
           name, answer.type, answer.valueLength);
}

// True when some registered variable's OID, without its instance arc, is a
// prefix of the request: the object exists, only the instance does not.
bool names_known_object(const uint32_t *request, int32_t length) {
  const size_t count = VarnockHostVariableCount();
  for (size_t i = 0; i < count; ++i) {
    const MibVariable *var = VarnockHostVariableAt(i);
    const int32_t prefix = var->oidLength - 1;
    if (prefix > 0 && prefix <= length && memcmp(var->oid, request, prefix * sizeof(uint32_t)) == 0)
      return true;
  }
  return false;
}

void answer_get(netsnmp_agent_request_info *reqinfo, netsnmp_request_info *request) {
  netsnmp_variable_list *vb = request->requestvb;
  uint32_t asked[VARNOCK_HOST_MAX_OID] = {};
  int32_t askedLength = 0;
  VarnockAnswer answer;
  // The library refuses a request longer than any descriptor's OID before a
  // handler sees it.
  if (to_host_oid(vb->name, vb->name_length, asked, &askedLength) &&
      VarnockHostGet(asked, askedLength, &answer)) {
    if (answer_fits(answer)) {
      set_value(vb, answer);
    } else {
      log_bad_answer(answer);
      netsnmp_set_request_error(reqinfo, request, SNMP_ERR_GENERR);
    }
    return;
  }
  const bool known = askedLength > 0 && names_known_object(asked, askedLength);
  netsnmp_set_request_error(reqinfo, request, known ? SNMP_NOSUCHINSTANCE : SNMP_NOSUCHOBJECT);
}

// Where a get-next within a module's subtree begins, as the agent library's
// OID: the request's OID, or the subtree's root when the request lies before
// it, so that only the subtree's own instances are considered. False when
// the OID does not fit.
bool getnext_start(const netsnmp_handler_registration *reginfo, const netsnmp_variable_list *vb,
                   uint32_t *from, int32_t *fromLength) {
  if (snmp_oid_compare(vb->name, vb->name_length, reginfo->rootoid, reginfo->rootoid_len) < 0)
    return to_host_oid(reginfo->rootoid, reginfo->rootoid_len, from, fromLength);
  return to_host_oid(vb->name, vb->name_length, from, fromLength);
}

// What became of an answer offered to a get-next.
enum class NextAnswer {
  kAnswered,    // it is the answer: set in the varbind
  kPastSubtree, // it lies past the registered subtree: Net-SNMP carries on there
  kNotAfter,    // it does not come after the requested OID: look further
  kUnfit,       // it comes after, but its value does not fit its type: look further
};

NextAnswer offer_next(netsnmp_handler_registration *reginfo, netsnmp_variable_list *vb,
                      const VarnockAnswer &answer) {
  oid found[MAX_OID_LEN];
  size_t foundLength = 0;
  to_snmp_oid(answer, found, &foundLength);
  if (netsnmp_oid_is_subtree(reginfo->rootoid, reginfo->rootoid_len, found, foundLength) != 0)
    return NextAnswer::kPastSubtree;
  if (snmp_oid_compare(found, foundLength, vb->name, vb->name_length) <= 0)
    return NextAnswer::kNotAfter;
  if (!answer_fits(answer))
    return NextAnswer::kUnfit;
  snmp_set_var_objid(vb, found, foundLength);
  set_value(vb, answer);
  return NextAnswer::kAnswered;
}

void answer_getnext(netsnmp_handler_registration *reginfo, netsnmp_request_info *request) {
  netsnmp_variable_list *vb = request->requestvb;
  uint32_t from[VARNOCK_HOST_MAX_OID] = {};
  int32_t fromLength = 0;
  if (!getnext_start(reginfo, vb, from, &fromLength))
    return;
  VarnockAnswer answer;
  for (int skipped = 0; skipped < kMaxSkippedAnswers; ++skipped) {
    if (!VarnockHostGetNext(from, fromLength, &answer))
      return; // nothing after: Net-SNMP carries on past this subtree
    const NextAnswer next = offer_next(reginfo, vb, answer);
    if (next == NextAnswer::kUnfit)
      log_bad_answer(answer);
    else if (next != NextAnswer::kNotAfter)
      return;
    memcpy(from, answer.oid, static_cast<size_t>(answer.oidLength) * sizeof(uint32_t));
    fromLength = answer.oidLength;
  }
}

// The value of a snapshot entry as an answer, for the checks and setters
// that live answers go through.
void entry_answer(const SnapshotEntry &entry, VarnockAnswer *answer) {
  answer->oidLength = static_cast<int32_t>(entry.oid.size());
  std::copy(entry.oid.begin(), entry.oid.end(), answer->oid);
  answer->type = entry.type;
  answer->valueLength = static_cast<int32_t>(entry.value.size());
  memcpy(answer->value, entry.value.data(), entry.value.size());
  answer->variable = nullptr;
}

void log_bad_entry(const SnapshotEntry &entry) {
  snmp_log(LOG_ERR,
           "varnockd: variable %s answered a value that does not fit its type %d (length %d)\n",
           entry.variable.empty() ? "?" : entry.variable.c_str(), entry.type,
           static_cast<int>(entry.value.size()));
}

// A get answered from the snapshot, as the walk would answer it: an
// instance of a descriptor of the request's length.
void snapshot_get(const Snapshot &snapshot, netsnmp_agent_request_info *reqinfo,
                  netsnmp_request_info *request) {
  netsnmp_variable_list *vb = request->requestvb;
  uint32_t asked[VARNOCK_HOST_MAX_OID] = {};
  int32_t askedLength = 0;
  if (to_host_oid(vb->name, vb->name_length, asked, &askedLength)) {
    const SnapshotEntry *entry = snapshot.find(asked, askedLength);
    if (entry != nullptr && (entry->descriptorLength == askedLength ||
                             (entry->longIndex && entry->descriptorLength < askedLength))) {
      VarnockAnswer answer;
      entry_answer(*entry, &answer);
      if (answer_fits(answer)) {
        set_value(vb, answer);
      } else {
        log_bad_entry(*entry);
        netsnmp_set_request_error(reqinfo, request, SNMP_ERR_GENERR);
      }
      return;
    }
  }
  const bool known = askedLength > 0 && snapshot.names_known_object(asked, askedLength);
  netsnmp_set_request_error(reqinfo, request, known ? SNMP_NOSUCHINSTANCE : SNMP_NOSUCHOBJECT);
}

void snapshot_getnext(const Snapshot &snapshot, netsnmp_handler_registration *reginfo,
                      netsnmp_request_info *request) {
  netsnmp_variable_list *vb = request->requestvb;
  uint32_t from[VARNOCK_HOST_MAX_OID] = {};
  int32_t fromLength = 0;
  if (!getnext_start(reginfo, vb, from, &fromLength))
    return;
  for (const SnapshotEntry *entry = snapshot.after(from, fromLength); entry != nullptr;
       entry = snapshot.next(entry)) {
    VarnockAnswer answer;
    entry_answer(*entry, &answer);
    const NextAnswer next = offer_next(reginfo, vb, answer);
    if (next == NextAnswer::kUnfit)
      log_bad_entry(*entry);
    else if (next != NextAnswer::kNotAfter)
      return;
  }
}

} // namespace

namespace {

constexpr char kPinnedSnapshot[] = "varnockd:snapshot";

void free_pinned(void *data) { delete static_cast<std::shared_ptr<const Snapshot> *>(data); }

// The snapshot that answers this request: the latest when the request first
// reaches a module subtree, the same one for every later pass over it (a
// get-bulk's repetitions, the other subtrees), so that one request never
// mixes two collections, or the modules of before and after a reload. It
// is held with the request and let go when Net-SNMP frees the request.
std::shared_ptr<const Snapshot> pinned_snapshot(netsnmp_agent_request_info *reqinfo) {
  if (const auto *pinned = static_cast<const std::shared_ptr<const Snapshot> *>(
          netsnmp_agent_get_list_data(reqinfo, kPinnedSnapshot)))
    return *pinned;
  std::shared_ptr<const Snapshot> latest = g_collector->latest();
  if (latest == nullptr)
    return latest;
  auto *pinned = new (std::nothrow) std::shared_ptr<const Snapshot>(latest);
  netsnmp_data_list *item =
      pinned != nullptr ? netsnmp_create_data_list(kPinnedSnapshot, pinned, free_pinned) : nullptr;
  if (item != nullptr)
    netsnmp_agent_add_list_data(reqinfo, item);
  else
    delete pinned; // not pinned: this pass is answered from the latest all the same
  return latest;
}

} // namespace

int handle_subtree(netsnmp_mib_handler *, netsnmp_handler_registration *reginfo,
                   netsnmp_agent_request_info *reqinfo, netsnmp_request_info *requests) {
  const std::shared_ptr<const Snapshot> snapshot =
      g_collector != nullptr ? pinned_snapshot(reqinfo) : nullptr;
  for (netsnmp_request_info *request = requests; request != nullptr; request = request->next) {
    if (request->processed)
      continue;
    switch (reqinfo->mode) {
    case MODE_GET:
      if (g_collector != nullptr) {
        if (snapshot != nullptr)
          snapshot_get(*snapshot, reqinfo, request);
      } else {
        answer_get(reqinfo, request);
      }
      break;
    case MODE_GETNEXT:
      if (g_collector != nullptr) {
        if (snapshot != nullptr)
          snapshot_getnext(*snapshot, reginfo, request);
      } else {
        answer_getnext(reginfo, request);
      }
      break;
    default:
      // Read-only registrations never see sets; refuse anything else.
      netsnmp_set_request_error(reqinfo, request, SNMP_ERR_NOTWRITABLE);
      break;
    }
  }
  return SNMP_ERR_NOERROR;
}

void answer_from_snapshots(const Collector *collector) { g_collector = collector; }

} // namespace varnockd
