#include "paths/runtime_dir.h"

#include <errno.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "base/os_error.h"
#include "paths/user_temp_dir.h"

namespace tarnwel {
namespace {

bool is_directory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_symlink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::optional<std::string> non_empty(std::optional<std::string> value) {
  if (value && value->empty()) return std::nullopt;
  return value;
}

std::optional<std::string> current_dir() {
  std::vector<char> buf(256);
  while (true) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) return std::string(buf.data());
    if (errno != ERANGE) return std::nullopt;
    buf.resize(buf.size() * 2);
  }
}

std::string socket_in(const std::string& runtime_dir) { return runtime_dir + "/agent.sock"; }

}  // namespace

std::string choose_base_dir(const EnvLookup& env) {
  if (auto dir = non_empty(env("TARNWEL_AGENT_RUNTIME_DIR"))) return *dir;
  if (auto dir = user_temp_dir()) return *dir;
  if (auto dir = non_empty(env("XDG_RUNTIME_DIR"))) return *dir;
  for (const char* name : {"TMPDIR", "TEMP", "TMP"}) {
    if (auto dir = env(name); dir && is_directory(*dir)) return *dir;
  }
  for (const char* dir : {"/tmp", "/var/tmp", "/usr/tmp"}) {
    if (is_directory(dir)) return dir;
  }
  if (auto dir = current_dir()) return *dir;
  return "/tmp";
}

namespace {

std::string joined(std::string_view base, std::string_view name, unsigned long uid) {
  std::string dir(base);
  if (!dir.empty() && dir.back() != '/') dir += '/';
  dir.append(name).append(std::to_string(uid));
  return dir;
}

// Who `uid` is, for a person: "user NAME", or the bare id when it has no name.
std::string user_called(uid_t uid) {
  std::vector<char> buffer(16 * 1024);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return "user " + std::string(found->pw_name);
  }
  return "uid " + std::to_string(uid) + ", which has no user name";
}

}  // namespace

std::string way_out(const DirRefusal& refusal) {
  if (!refusal.owner) return {};
  return "; it belongs to " + user_called(static_cast<uid_t>(*refusal.owner)) +
         ": use a private directory instead, by setting TARNWEL_AGENT_RUNTIME_DIR to a "
         "directory of your own or in a login session that sets XDG_RUNTIME_DIR";
}

std::string confirm_dir_refused(const std::string& dir, const DirRefusal& refusal) {
  return "refusing to use confirmation dir " + display_path(dir) + ": " + refusal.reason +
         way_out(refusal);
}

std::string runtime_dir_for(std::string_view base, unsigned long uid) {
  return joined(base, "tarnwel-agent-", uid);
}

std::string confirm_dir_for(std::string_view base, unsigned long uid) {
  return joined(base, "tarnwel-confirm-", uid);
}

std::string confirm_dir_path_for(const EnvLookup& env) {
  return confirm_dir_for(choose_base_dir(env), ::getuid());
}

Result<Ok, DirRefusal> create_private_dir(const std::string& dir) {
  // mkdir applies the umask to its mode, and a permissive one must not open
  // a window before the chmod below.
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return DirRefusal{os_error_text(errno)};
  return Ok{};
}

namespace {

DirRefusal symlink_refusal(const std::string& dir) {
  return DirRefusal{display_path(dir) + " is a symlink - refusing to follow it"};
}

// The checks that the agent and its clients share: a directory, reached
// without following a link, owned by the real user id. Fills `st`.
Result<Ok, DirRefusal> check_owned_dir(const std::string& dir, struct stat& st) {
  if (::lstat(dir.c_str(), &st) != 0) return DirRefusal{os_error_text(errno), errno == ENOENT};
  if (S_ISLNK(st.st_mode)) return symlink_refusal(dir);
  if (!S_ISDIR(st.st_mode)) return DirRefusal{display_path(dir) + " is not a directory"};
  const uid_t uid = ::getuid();
  if (st.st_uid != uid) {
    return DirRefusal{display_path(dir) + " is owned by uid " + std::to_string(st.st_uid) +
                          ", not this process's uid " + std::to_string(uid),
                      false, st.st_uid};
  }
  return Ok{};
}

}  // namespace

Result<Ok, DirRefusal> prepare_runtime_dir(const std::string& dir) {
  if (is_symlink(dir)) return symlink_refusal(dir);
  if (auto created = create_private_dir(dir); !created.ok()) return created;
  // Something may have swapped the name for a link since the first test.
  struct stat st {};
  if (auto owned = check_owned_dir(dir, st); !owned.ok()) return owned;
  if (::chmod(dir.c_str(), 0700) != 0) return DirRefusal{os_error_text(errno)};
  return Ok{};
}

Result<Ok, DirRefusal> check_private_dir(const std::string& dir) {
  struct stat st {};
  if (auto owned = check_owned_dir(dir, st); !owned.ok()) return owned;
  if ((st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return DirRefusal{display_path(dir) + " has mode " + mode +
                      ", which lets other users in (group and others must have no access)"};
  }
  return Ok{};
}

std::string directory_of(const std::string& socket_path) {
  const std::size_t slash = socket_path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return socket_path.substr(0, slash);
}

std::string socket_path_for(const EnvLookup& env) {
  return socket_in(runtime_dir_for(choose_base_dir(env), ::getuid()));
}

Result<std::string, DirRefusal> socket_path() {
  const std::string dir = runtime_dir_for(choose_base_dir(process_env), ::getuid());
  const Result<Ok, DirRefusal> prepared = prepare_runtime_dir(dir);
  if (!prepared.ok()) {
    return DirRefusal{"refusing to use runtime dir " + display_path(dir) + ": " +
                      prepared.error().reason};
  }
  return socket_in(dir);
}

}  // namespace tarnwel
