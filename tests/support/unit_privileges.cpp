#include "tests/support/unit_privileges.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "tests/support/process.h"

namespace testsupport {

namespace {

std::vector<std::string> words(const std::string &value) {
  std::istringstream in(value);
  std::vector<std::string> out;
  for (std::string w; in >> w;)
    out.push_back(w);
  return out;
}

// "CAP_NET_BIND_SERVICE" as setpriv names it: "net_bind_service".
std::vector<std::string> capability_names(const std::string &key, const std::string &value) {
  if (!value.empty() && value[0] == '~')
    throw std::runtime_error(key + "=~...: an inverted set is not supported here");
  std::vector<std::string> caps;
  for (std::string w : words(value)) {
    std::transform(w.begin(), w.end(), w.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (w.rfind("cap_", 0) != 0)
      throw std::runtime_error(key + ": not a capability: " + w);
    caps.push_back(w.substr(4));
  }
  return caps;
}

void add_up(std::vector<std::string> &list, const std::vector<std::string> &more,
            const std::string &value) {
  if (value.empty())
    list.clear();
  list.insert(list.end(), more.begin(), more.end());
}

// "-all,+a,+b" for setpriv's capability options.
std::string cap_option(const std::vector<std::string> &caps) {
  std::string option = "-all";
  for (const std::string &cap : caps)
    option += ",+" + cap;
  return option;
}

} // namespace

std::string built_unit_file(const std::string &binary_dir) {
  return binary_dir + "/packaging/varnockd.service";
}

UnitPrivileges read_unit_privileges(const std::string &unit_file) {
  std::ifstream in(unit_file);
  if (!in)
    throw std::runtime_error("cannot read " + unit_file);
  UnitPrivileges unit;
  bool service = false;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#' || line[0] == ';')
      continue;
    if (line[0] == '[') {
      service = line == "[Service]";
      continue;
    }
    const size_t eq = line.find('=');
    if (!service || eq == std::string::npos)
      continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "User")
      unit.user = value;
    else if (key == "Group")
      unit.group = value;
    else if (key == "SupplementaryGroups")
      add_up(unit.supplementary, words(value), value);
    else if (key == "CapabilityBoundingSet")
      add_up(unit.bounding_caps, capability_names(key, value), value);
    else if (key == "AmbientCapabilities")
      add_up(unit.ambient_caps, capability_names(key, value), value);
    else if (key == "NoNewPrivileges")
      unit.no_new_privileges = value == "yes" || value == "true" || value == "1";
    else if (key == "DynamicUser" || key == "SecureBits" || key == "ExecStartPre")
      throw std::runtime_error(key + "= is not applied here");
  }
  return unit;
}

void make_system_users(const std::string &sysusers_file) {
  const CommandResult r = run_command({"systemd-sysusers", sysusers_file}, 60.0);
  if (r.exit_code != 0)
    throw std::runtime_error("systemd-sysusers " + sysusers_file + ": " + r.out + r.err);
}

unsigned user_id(const std::string &name) {
  const passwd *pw = getpwnam(name.c_str());
  if (pw == nullptr)
    throw std::runtime_error("no user " + name);
  return pw->pw_uid;
}

unsigned group_id(const std::string &name) {
  const group *gr = getgrnam(name.c_str());
  if (gr == nullptr)
    throw std::runtime_error("no group " + name);
  return gr->gr_gid;
}

std::vector<std::string> as_unit(const UnitPrivileges &unit, const std::vector<std::string> &argv) {
  if (unit.user.empty())
    throw std::runtime_error("the unit names no user: it would run as root");
  const passwd *pw = getpwnam(unit.user.c_str());
  if (pw == nullptr)
    throw std::runtime_error("no user " + unit.user);
  const gid_t primary = unit.group.empty() ? pw->pw_gid : group_id(unit.group);
  // systemd gives the user its groups of /etc/group, then the unit's own.
  std::vector<gid_t> listed(64);
  int count = static_cast<int>(listed.size());
  if (getgrouplist(unit.user.c_str(), primary, listed.data(), &count) < 0)
    throw std::runtime_error("too many groups for " + unit.user);
  std::set<gid_t> groups(listed.begin(), listed.begin() + count);
  for (const std::string &name : unit.supplementary)
    groups.insert(group_id(name));
  std::string group_list;
  for (gid_t g : groups)
    group_list += (group_list.empty() ? "" : ",") + std::to_string(g);

  std::vector<std::string> command = {"setpriv",
                                      "--reuid=" + std::to_string(pw->pw_uid),
                                      "--regid=" + std::to_string(primary),
                                      "--groups=" + group_list,
                                      "--bounding-set=" + cap_option(unit.bounding_caps),
                                      "--inh-caps=" + cap_option(unit.ambient_caps),
                                      "--ambient-caps=" + cap_option(unit.ambient_caps)};
  if (unit.no_new_privileges)
    command.push_back("--no-new-privs");
  command.push_back("--");
  command.insert(command.end(), argv.begin(), argv.end());
  return command;
}

} // namespace testsupport
