#include "client/secret_member.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "protocol/json_string.h"

namespace tarnwel {
namespace {

constexpr std::string_view SECRET_NAME = "secret";

// Walks the members of one JSON object just far enough to tell where each name
// and each value starts and ends. Values are skipped, not checked: the JSON
// library checks the whole line afterwards.
class MemberScanner {
 public:
  explicit MemberScanner(std::string_view text) : text_(text) {}

  struct Member {
    std::size_t name_start, name_end;    // the name's literal, quotes included
    std::size_t value_start, value_end;  // the value's text
  };

  Result<std::vector<Member>, std::string> scan() {
    std::vector<Member> members;
    skip_blanks();
    if (!take('{')) return std::string("reply is not a JSON object");
    skip_blanks();
    if (take('}')) return members;
    while (true) {
      Member m{};
      skip_blanks();
      if (peek() != '"') return std::string("expected a member name in the reply");
      m.name_start = pos_;
      pos_ = end_of_json_string(text_, pos_);
      if (pos_ > text_.size()) return std::string("unterminated string in the reply");
      m.name_end = pos_;
      skip_blanks();
      if (!take(':')) return std::string("expected ':' in the reply");
      skip_blanks();
      m.value_start = pos_;
      if (!skip_value()) return std::string("unterminated value in the reply");
      m.value_end = pos_;
      members.push_back(m);
      skip_blanks();
      if (take(',')) continue;
      if (take('}')) return members;
      return std::string("expected ',' or '}' in the reply");
    }
  }

 private:
  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  bool take(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }
  void skip_blanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\n')) {
      ++pos_;
    }
  }

  bool skip_value() {
    const char first = peek();
    if (first == '"') {
      pos_ = end_of_json_string(text_, pos_);
      return pos_ <= text_.size();
    }
    if (first == '{' || first == '[') return skip_nested();
    while (pos_ < text_.size() && std::string_view(",}] \t\r\n").find(text_[pos_]) ==
                                      std::string_view::npos) {
      ++pos_;
    }
    return true;
  }

  // An array or object: brackets are counted, strings are stepped over whole.
  bool skip_nested() {
    std::size_t depth = 0;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '"') {
        pos_ = end_of_json_string(text_, pos_);
        if (pos_ > text_.size()) return false;
        continue;
      }
      ++pos_;
      if (c == '{' || c == '[') ++depth;
      if ((c == '}' || c == ']') && --depth == 0) return true;
    }
    return false;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

bool names_secret(std::string_view literal) {
  const Result<WipedBytes, std::string> name =
      decode_json_string(literal.substr(1, literal.size() - 2));
  return name.ok() && as_view(name.value()) == SECRET_NAME;
}

}  // namespace

Result<std::optional<LockedSecret>, std::string> take_secret_member(WipedBytes& line) {
  const std::string_view text = as_view(line);
  Result<std::vector<MemberScanner::Member>, std::string> members = MemberScanner(text).scan();
  if (!members.ok()) return std::move(members).error();

  std::optional<LockedSecret> secret;
  for (const MemberScanner::Member& m : members.value()) {
    if (!names_secret(text.substr(m.name_start, m.name_end - m.name_start))) continue;
    if (text[m.value_start] != '"') continue;  // not a string: the reply's reader will object
    Result<WipedBytes, std::string> bytes =
        decode_json_string(text.substr(m.value_start + 1, m.value_end - m.value_start - 2));
    if (!bytes.ok()) return std::move(bytes).error();
    secret.emplace(as_view(bytes.value()));
    // "" and blanks: the same length, so the other offsets stay valid.
    std::fill(line.begin() + static_cast<std::ptrdiff_t>(m.value_start) + 2,
              line.begin() + static_cast<std::ptrdiff_t>(m.value_end), ' ');
    line[m.value_start + 1] = '"';
  }
  return secret;
}

}  // namespace tarnwel
