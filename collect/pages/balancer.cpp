// The members of a server's proxy balancers, read from the ProxyBalancer
// lines of its status page. The page is the server's to write, and so
// whoever holds its port: names that could not be a row's index are passed
// over, and only so many members are kept.
#include "collect/pages/balancer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collect/pages/page_number.h"

namespace {

struct Member {
  std::string balancer;
  std::string name;
  std::string flags;
  int32_t state = MEMBER_OTHER;
  uint64_t elected = 0;
  uint32_t busy = 0;
  uint64_t sent = 0;
  uint64_t received = 0;
  uint32_t present = 0;
  bool named = false;
};

constexpr char kPrefix[] = "ProxyBalancer[";
// More balancers than members cannot give rows; the bound keeps a hostile
// page from filling memory with names.
constexpr size_t kBalancerLimit = BALANCER_MEMBER_LIMIT;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Reads "[digits]" at *p (the '[' already passed): the number, at most nine
// digits, and *p moved past the ']'.
bool bracketed_number(std::string_view line, size_t *p, uint32_t *number) {
  size_t at = *p;
  uint32_t value = 0;
  size_t digits = 0;
  while (at < line.size() && line[at] >= '0' && line[at] <= '9' && digits < 9) {
    value = value * 10 + static_cast<uint32_t>(line[at] - '0');
    ++at;
    ++digits;
  }
  if (digits == 0 || at >= line.size() || line[at] != ']') {
    return false;
  }
  *p = at + 1;
  *number = value;
  return true;
}

// The value after "Label:" at *p: blanks on either side dropped. Null when
// the text at *p is not label and a colon.
bool labelled_value(std::string_view line, size_t p, const char *label, std::string_view *value) {
  const size_t length = std::strlen(label);
  if (line.compare(p, length, label) != 0 || p + length >= line.size() || line[p + length] != ':') {
    return false;
  }
  std::string_view rest = line.substr(p + length + 1);
  while (!rest.empty() && is_blank(rest.front())) {
    rest.remove_prefix(1);
  }
  while (!rest.empty() && is_blank(rest.back())) {
    rest.remove_suffix(1);
  }
  *value = rest;
  return true;
}

// A name fit for a row's index: 1 to limit bytes, printable, no blank.
bool index_name(std::string_view name, size_t limit) {
  return !name.empty() && name.size() <= limit &&
         std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

// The flags as text to show: at most BALANCER_FLAGS_MAX bytes, anything
// unprintable as '?'.
std::string shown_flags(std::string_view flags) {
  std::string shown(flags.substr(0, BALANCER_FLAGS_MAX));
  for (char &c : shown) {
    if (c < ' ' || c >= 0x7F) {
      c = '?';
    }
  }
  return shown;
}

bool leading_digit(std::string_view value) {
  return !value.empty() && value.front() >= '0' && value.front() <= '9';
}

// One worker line's item ("Name", "Status", ...) into member.
void read_worker_item(Member *member, std::string_view line, size_t p) {
  std::string_view value;
  if (labelled_value(line, p, "Name", &value)) {
    member->name.assign(value);
    member->named = true;
  } else if (labelled_value(line, p, "Status", &value) && !value.empty()) {
    member->flags = shown_flags(value);
    member->state = balancer_member_state(member->flags.c_str());
    member->present |= MEMBER_HAS_STATUS;
  } else if (labelled_value(line, p, "Elected", &value) && leading_digit(value)) {
    member->elected = page_u64(std::string(value).c_str());
    member->present |= MEMBER_HAS_ELECTED;
  } else if (labelled_value(line, p, "Busy", &value) && leading_digit(value)) {
    const uint64_t busy = page_u64(std::string(value).c_str());
    member->busy = busy > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(busy);
    member->present |= MEMBER_HAS_BUSY;
  } else if (labelled_value(line, p, "Sent", &value) &&
             balancer_size_bytes(std::string(value).c_str(), &member->sent)) {
    member->present |= MEMBER_HAS_SENT;
  } else if (labelled_value(line, p, "Rcvd", &value) &&
             balancer_size_bytes(std::string(value).c_str(), &member->received)) {
    member->present |= MEMBER_HAS_RECEIVED;
  }
}

bool index_order(const Member &a, const Member &b) {
  if (a.balancer.size() != b.balancer.size()) {
    return a.balancer.size() < b.balancer.size();
  }
  if (a.balancer != b.balancer) {
    return a.balancer < b.balancer;
  }
  if (a.name.size() != b.name.size()) {
    return a.name.size() < b.name.size();
  }
  return a.name < b.name;
}

bool same_index(const Member &a, const Member &b) {
  return a.balancer == b.balancer && a.name == b.name;
}

} // namespace

struct BalancerState {
  std::vector<Member> members;
};

void balancer_state_free(BalancerState *state) { delete state; }

int32_t balancer_member_state(const char *flags) {
  bool has[9] = {};
  static const char *const kFlags[] = {"Stop", "Dis", "Err", "HcFl", "Ok", "Drn", "Stby", "Spar"};
  const char *p = flags != nullptr ? flags : "";
  while (*p != '\0') {
    while (*p == ' ' || *p == '\t') {
      ++p;
    }
    const char *start = p;
    while (*p != '\0' && *p != ' ' && *p != '\t') {
      ++p;
    }
    const std::string_view word(start, static_cast<size_t>(p - start));
    for (size_t i = 0; i < sizeof kFlags / sizeof kFlags[0]; ++i) {
      has[i] = has[i] || word == kFlags[i];
    }
  }
  if (has[0]) {
    return MEMBER_STOPPED;
  }
  if (has[1]) {
    return MEMBER_DISABLED;
  }
  if (has[2]) {
    return MEMBER_ERROR;
  }
  if (has[3]) {
    return MEMBER_HEALTH_CHECK_FAILED;
  }
  if (!has[4]) {
    return MEMBER_OTHER;
  }
  return has[5]   ? MEMBER_DRAINING
         : has[6] ? MEMBER_HOT_STANDBY
         : has[7] ? MEMBER_HOT_SPARE
                  : MEMBER_OK;
}

bool balancer_size_bytes(const char *text, uint64_t *bytes) {
  if (text == nullptr) {
    return false;
  }
  const char *p = text;
  while (*p == ' ' || *p == '\t') {
    ++p;
  }
  if (*p < '0' || *p > '9') {
    return false;
  }
  uint64_t whole = 0;
  bool saturated = false;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const uint64_t digit = static_cast<uint64_t>(*p - '0');
    if (whole > (UINT64_MAX - digit) / 10) {
      saturated = true;
    } else {
      whole = whole * 10 + digit;
    }
  }
  // A fraction is read to six digits: past that it is below a byte even
  // for an exbibyte unit's rounding that Apache never writes.
  uint64_t fraction = 0;
  uint64_t scale = 1;
  if (*p == '.') {
    for (++p; *p >= '0' && *p <= '9'; ++p) {
      if (scale < 1000000) {
        fraction = fraction * 10 + static_cast<uint64_t>(*p - '0');
        scale *= 10;
      }
    }
  }
  static const char kUnits[] = "KMGTPE";
  unsigned shift = 0;
  if (*p != '\0') {
    const char *unit = std::strchr(kUnits, *p >= 'a' && *p <= 'z' ? *p - 'a' + 'A' : *p);
    if (unit != nullptr) {
      shift = 10u * static_cast<unsigned>(unit - kUnits + 1);
    }
  }
  if (saturated || (shift > 0 && whole > (UINT64_MAX >> shift))) {
    *bytes = UINT64_MAX;
    return true;
  }
  const uint64_t unit = uint64_t{1} << shift;
  // fraction * unit / scale without overflow: fraction < scale <= 10^6.
  const uint64_t part = (unit / scale) * fraction + ((unit % scale) * fraction) / scale;
  const uint64_t value = whole << shift;
  *bytes = value > UINT64_MAX - part ? UINT64_MAX : value + part;
  return true;
}

void parse_balancer_members(ServerEntry *entry, const char *text) {
  if (entry == nullptr || text == nullptr) {
    return;
  }
  std::map<uint32_t, std::string> balancers;
  std::map<std::pair<uint32_t, uint32_t>, Member> workers;
  const size_t prefix = sizeof kPrefix - 1;
  for (const char *line = text; *line != '\0';) {
    const char *end = std::strchr(line, '\n');
    if (end == nullptr) {
      end = line + std::strlen(line);
    }
    const std::string_view view(line, static_cast<size_t>(end - line));
    line = *end == '\0' ? end : end + 1;
    size_t p = prefix;
    uint32_t b = 0;
    if (view.compare(0, prefix, kPrefix) != 0 || !bracketed_number(view, &p, &b)) {
      continue;
    }
    std::string_view value;
    if (labelled_value(view, p, "Name", &value)) {
      if (balancers.size() < kBalancerLimit || balancers.count(b) != 0) {
        balancers.emplace(b, std::string(value)); // the first line wins
      }
      continue;
    }
    uint32_t w = 0;
    if (view.compare(p, 7, "Worker[") != 0 || !(p += 7, bracketed_number(view, &p, &w))) {
      continue;
    }
    const auto key = std::make_pair(b, w);
    auto found = workers.find(key);
    if (found == workers.end()) {
      if (workers.size() >= BALANCER_MEMBER_LIMIT) {
        continue;
      }
      found = workers.emplace(key, Member{}).first;
    }
    read_worker_item(&found->second, view, p);
  }

  std::vector<Member> rows;
  for (auto &[key, member] : workers) {
    const auto balancer = balancers.find(key.first);
    if (!member.named || balancer == balancers.end() ||
        !index_name(balancer->second, BALANCER_NAME_MAX) ||
        !index_name(member.name, BALANCER_MEMBER_NAME_MAX)) {
      continue;
    }
    member.balancer = balancer->second;
    rows.push_back(std::move(member));
  }
  std::stable_sort(rows.begin(), rows.end(), index_order);
  rows.erase(std::unique(rows.begin(), rows.end(), same_index), rows.end());

  if (rows.empty()) {
    balancer_state_free(entry->balancers);
    entry->balancers = nullptr;
    return;
  }
  if (entry->balancers == nullptr) {
    entry->balancers = new (std::nothrow) BalancerState;
    if (entry->balancers == nullptr) {
      return; // no memory for them: no rows, as before the page
    }
  }
  entry->balancers->members = std::move(rows);
}

size_t balancer_member_count(const ServerEntry *entry) {
  return entry != nullptr && entry->balancers != nullptr ? entry->balancers->members.size() : 0;
}

bool balancer_member_at(const ServerEntry *entry, size_t index, BalancerMemberView *out) {
  if (index >= balancer_member_count(entry) || out == nullptr) {
    return false;
  }
  const Member &m = entry->balancers->members[index];
  *out = BalancerMemberView{
      m.balancer.data(), m.balancer.size(), m.name.data(), m.name.size(), m.flags.c_str(),
      m.state,           m.elected,         m.busy,        m.sent,        m.received,
      m.present};
  return true;
}
