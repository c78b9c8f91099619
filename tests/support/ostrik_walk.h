// The ostrik subtree as a walk of it answers: every value by its OID, and
// the cells of its tables by column and port.
#pragma once

#include <map>
#include <set>
#include <string>

namespace testsupport {

// The module's subtree, and its tables' entries.
extern const char kOstrikSubtree[];    // .1.3.6.1.4.1.32473.16.3
extern const char kConfigEntry[];      // ....10.1
extern const char kFootprintEntry[];   // ....11.1.1
extern const char kPerformanceEntry[]; // ....11.2.1
extern const char kPerfExtEntry[];     // ....12.1
extern const char kHealthEntry[];      // ....13.1

struct OstrikWalk {
  std::map<std::string, std::string> values; // numeric OID -> "TYPE: value"

  // The cell's value text ("" when the walk had no such cell).
  std::string cell(const std::string &entry, int column, int port) const;
  // The number in an INTEGER, Counter32, Gauge32 or Counter64 cell; -1 when
  // absent.
  long long number(const std::string &entry, int column, int port) const;
  // The text of a STRING cell without its quotes; "" when absent.
  std::string text(const std::string &entry, int column, int port) const;
  // The ports of the rows of a table's column.
  std::set<int> rows(const std::string &entry, int column = 1) const;
};

// Reads a tool's output (numeric OIDs, "OID = TYPE: value" per line).
OstrikWalk parse_ostrik_walk(const std::string &output);

} // namespace testsupport
