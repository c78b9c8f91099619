#include "tests/support/ostrik_walk.h"

#include <cstdlib>

#include "tests/support/varnockd.h"

namespace testsupport {

const char kOstrikSubtree[] = ".1.3.6.1.4.1.32473.16.3";
const char kConfigEntry[] = ".1.3.6.1.4.1.32473.16.3.10.1";
const char kFootprintEntry[] = ".1.3.6.1.4.1.32473.16.3.11.1.1";
const char kPerformanceEntry[] = ".1.3.6.1.4.1.32473.16.3.11.2.1";
const char kPerfExtEntry[] = ".1.3.6.1.4.1.32473.16.3.12.1";
const char kHealthEntry[] = ".1.3.6.1.4.1.32473.16.3.13.1";

std::string OstrikWalk::cell(const std::string &entry, int column, int port) const {
  auto it = values.find(entry + "." + std::to_string(column) + "." + std::to_string(port));
  return it == values.end() ? "" : it->second;
}

long long OstrikWalk::number(const std::string &entry, int column, int port) const {
  const std::string value = cell(entry, column, port);
  const size_t colon = value.find(": ");
  if (colon == std::string::npos) {
    return -1;
  }
  const std::string type = value.substr(0, colon);
  if (type != "INTEGER" && type != "Counter32" && type != "Gauge32" && type != "Counter64") {
    return -1;
  }
  return std::strtoll(value.c_str() + colon + 2, nullptr, 10);
}

std::string OstrikWalk::text(const std::string &entry, int column, int port) const {
  const std::string value = cell(entry, column, port);
  const std::string prefix = "STRING: ";
  if (value.rfind(prefix, 0) != 0) {
    return "";
  }
  std::string s = value.substr(prefix.size());
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') {
    s = s.substr(1, s.size() - 2);
  }
  return s;
}

std::set<int> OstrikWalk::rows(const std::string &entry, int column) const {
  std::set<int> out;
  const std::string prefix = entry + "." + std::to_string(column) + ".";
  for (auto it = values.lower_bound(prefix); it != values.end(); ++it) {
    if (it->first.rfind(prefix, 0) != 0) {
      break;
    }
    out.insert(std::atoi(it->first.c_str() + prefix.size()));
  }
  return out;
}

OstrikWalk parse_ostrik_walk(const std::string &output) {
  OstrikWalk walk;
  for (const Varbind &vb : parse_varbinds(output)) {
    walk.values[vb.oid] = vb.value;
  }
  return walk;
}

} // namespace testsupport
