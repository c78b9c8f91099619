// The privileges that the installed unit gives varnockd, read from the unit
// file the build generates, and a command run with exactly those: its user,
// groups and capability sets, applied by setpriv.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct UnitPrivileges {
  std::string user;                       // User=
  std::string group;                      // Group=
  std::vector<std::string> supplementary; // SupplementaryGroups=
  std::vector<std::string> bounding_caps; // CapabilityBoundingSet=, "net_bind_service"
  std::vector<std::string> ambient_caps;  // AmbientCapabilities=
  bool no_new_privileges = false;         // NoNewPrivileges=
};

// The unit file that the build under binary_dir generates.
std::string built_unit_file(const std::string &binary_dir);

// The [Service] privileges of a unit file. Repeated list settings add up and
// an empty one clears, as systemd reads them. Throws std::runtime_error on a
// file it cannot read or a setting it does not know how to apply ("~" sets).
UnitPrivileges read_unit_privileges(const std::string &unit_file);

// Makes the users and groups of a sysusers.d file on this machine (as the
// package's postinst does); throws when systemd-sysusers fails.
void make_system_users(const std::string &sysusers_file);

// argv run as the unit runs its daemon: the user and group, the user's own
// groups and the supplementary ones, the bounding, inheritable and ambient
// sets, and no new privileges when the unit says so.
std::vector<std::string> as_unit(const UnitPrivileges &unit, const std::vector<std::string> &argv);

// The numeric ids of a user's and a group's name; throws when unknown.
unsigned user_id(const std::string &name);
unsigned group_id(const std::string &name);

} // namespace testsupport
