#include "git_credential/credential.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace tarnwel {
namespace {

// The URL's part of every entry of it, "git:https://" and "@example.com/path":
// an entry is the first, the encoded username, then the second.
std::pair<std::string, std::string> url_parts(const Credential& credential) {
  // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) about
  // the temporaries of a chain of operator+.
  std::string scheme = "git:";
  scheme.append(credential.protocol).append("://");
  std::string place = "@";
  place.append(credential.host);
  if (!credential.path.empty()) place.append("/").append(credential.path);
  return {std::move(scheme), std::move(place)};
}

bool unreserved(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

std::string percent_encoded(std::string_view text) {
  constexpr std::string_view HEX = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    if (unreserved(c)) {
      out.push_back(c);
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    out.append({'%', HEX[byte >> 4], HEX[byte & 0xF]});
  }
  return out;
}

// The keys kept, each in its member; any other key git sends is ignored.
constexpr std::pair<std::string_view, std::string_view Credential::*> PLACE_KEYS[] = {
    {"protocol", &Credential::protocol},
    {"host", &Credential::host},
    {"path", &Credential::path},
};
constexpr std::pair<std::string_view, std::optional<std::string_view> Credential::*>
    OPTIONAL_KEYS[] = {
        {"username", &Credential::username},
        {"password", &Credential::password},
        {"password_expiry_utc", &Credential::password_expiry_utc},
        {"oauth_refresh_token", &Credential::oauth_refresh_token},
};

}  // namespace

Result<Credential, std::string> parse_credential(std::string_view text) {
  Credential credential;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      return "not a key=value line: " + std::string(line.substr(0, 40));
    }
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = line.substr(eq + 1);
    for (const auto& [name, field] : PLACE_KEYS) {
      if (key == name) credential.*field = value;
    }
    for (const auto& [name, field] : OPTIONAL_KEYS) {
      if (key == name) credential.*field = value;
    }
  }
  return credential;
}

std::optional<std::string> profile_for(const Credential& credential) {
  if (credential.protocol.empty() || credential.host.empty() || !credential.username) {
    return std::nullopt;
  }
  auto [profile, place] = url_parts(credential);
  profile.append(percent_encoded(*credential.username)).append(place);
  return profile;
}

std::optional<std::string> legacy_profile_for(const Credential& credential) {
  if (credential.protocol.empty() || credential.host.empty()) return std::nullopt;
  auto [profile, place] = url_parts(credential);
  profile.append(std::string_view(place).substr(1));
  return profile;
}

bool is_entry_of_url(std::string_view profile, const Credential& credential) {
  const auto [scheme, place] = url_parts(credential);
  if (!profile.starts_with(scheme) || !profile.ends_with(place) ||
      profile.size() < scheme.size() + place.size()) {
    return false;
  }
  const std::string_view user =
      profile.substr(scheme.size(), profile.size() - scheme.size() - place.size());
  // An encoded username has neither: anything else is another URL's entry.
  return user.find_first_of("@/") == std::string_view::npos;
}

std::optional<std::int64_t> expiry_of(const Credential& credential) {
  if (!credential.password_expiry_utc) return std::nullopt;
  const std::string_view text = *credential.password_expiry_utc;
  std::int64_t when = 0;
  const auto [end, failed] = std::from_chars(text.data(), text.data() + text.size(), when);
  if (failed != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return when;
}

WipedBytes secret_for(const Credential& credential) {
  const std::pair<std::string_view, std::optional<std::string_view>> members[] = {
      {"username=", credential.username.value_or("")},
      {"password=", credential.password.value_or("")},
      {"password_expiry_utc=", credential.password_expiry_utc},
      {"oauth_refresh_token=", credential.oauth_refresh_token},
  };
  std::size_t size = 0;
  for (const auto& [key, value] : members) {
    if (value) size += key.size() + value->size() + 1;
  }
  // Sized once and filled: no growth (and no wiped copies) on the way.
  WipedBytes secret(size);
  auto out = secret.begin();
  for (const auto& [key, value] : members) {
    if (!value) continue;
    out = std::copy(key.begin(), key.end(), out);
    out = std::copy(value->begin(), value->end(), out);
    *out++ = '\n';
  }
  return secret;
}

}  // namespace tarnwel
