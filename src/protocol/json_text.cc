#include "protocol/json_text.h"

#include <cstdint>
#include <exception>
#include <optional>

#include "base/utf8.h"

namespace tarnwel {
namespace {

// nlohmann's parser has no nesting limit of its own. This SAX handler builds
// the value like the library's DOM parser and stops it one level too deep.
class DepthLimitedBuilder {
 public:
  explicit DepthLimitedBuilder(Json& result) : dom_(result, /*allow_exceptions=*/true) {}

  bool too_deep() const { return too_deep_; }

  bool null() { return dom_.null(); }
  bool boolean(bool v) { return dom_.boolean(v); }
  bool number_integer(Json::number_integer_t v) { return dom_.number_integer(v); }
  bool number_unsigned(Json::number_unsigned_t v) { return dom_.number_unsigned(v); }
  bool number_float(Json::number_float_t v, const Json::string_t& s) {
    return dom_.number_float(v, s);
  }
  bool string(Json::string_t& v) { return dom_.string(v); }
  bool binary(Json::binary_t& v) { return dom_.binary(v); }
  bool start_object(std::size_t n) { return enter() && dom_.start_object(n); }
  bool key(Json::string_t& v) { return dom_.key(v); }
  bool end_object() {
    --depth_;
    return dom_.end_object();
  }
  bool start_array(std::size_t n) { return enter() && dom_.start_array(n); }
  bool end_array() {
    --depth_;
    return dom_.end_array();
  }
  bool parse_error(std::size_t position, const std::string& token,
                   const nlohmann::detail::exception& ex) {
    last_token_bytes_ = token.size();
    return dom_.parse_error(position, token, ex);  // throws: exceptions are allowed
  }
  // Length of the text the library quotes in its description of the error.
  std::size_t last_token_bytes() const { return last_token_bytes_; }

 private:
  bool enter() {
    if (++depth_ > MAX_JSON_DEPTH) {
      too_deep_ = true;
      return false;
    }
    return true;
  }

  nlohmann::detail::json_sax_dom_parser<Json> dom_;
  std::size_t depth_ = 0;
  bool too_deep_ = false;
  std::size_t last_token_bytes_ = 0;
};

// Nearly every request is one flat object whose values are strings without
// escapes and unsigned integers: {"cmd":"ping","protocol_version":2}. Such a
// text is read here to the very value the library builds from it, without its
// lexer's work for every byte. Anything else (an escape or control byte, a
// nested value, a literal, a sign, a fraction or exponent, a leading zero, an
// integer beyond 64 bits, a stray byte) returns nothing and goes to the
// library, which accepts it or describes what is wrong.
class FlatObjectReader {
 public:
  explicit FlatObjectReader(std::string_view text) : text_(text) {}

  std::optional<Json> read() {
    Json value = Json::object();
    Json::object_t& members = value.get_ref<Json::object_t&>();
    skip_blanks();
    if (!take('{')) return std::nullopt;
    skip_blanks();
    if (!take('}')) {
      do {
        skip_blanks();
        const std::optional<std::string_view> name = plain_string();
        skip_blanks();
        if (!name || !take(':')) return std::nullopt;
        skip_blanks();
        std::optional<Json> member = scalar();
        if (!member) return std::nullopt;
        // A repeated name keeps its last value, as the library's parser does.
        members.insert_or_assign(std::string(*name), std::move(*member));
        skip_blanks();
      } while (take(','));
      if (!take('}')) return std::nullopt;
    }
    skip_blanks();
    if (at_ != text_.size()) return std::nullopt;
    return value;
  }

 private:
  bool take(char c) {
    if (at_ == text_.size() || text_[at_] != c) return false;
    ++at_;
    return true;
  }

  void skip_blanks() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }

  // The body of a string literal with neither escapes nor control bytes.
  std::optional<std::string_view> plain_string() {
    if (!take('"')) return std::nullopt;
    const std::size_t start = at_;
    for (; at_ < text_.size(); ++at_) {
      const auto c = static_cast<unsigned char>(text_[at_]);
      if (c == '"') return text_.substr(start, at_++ - start);
      if (c == '\\' || c < 0x20) return std::nullopt;
    }
    return std::nullopt;
  }

  std::optional<Json> scalar() {
    if (at_ < text_.size() && text_[at_] == '"') {
      const std::optional<std::string_view> text = plain_string();
      if (!text) return std::nullopt;
      return Json(std::string(*text));
    }
    return unsigned_integer();
  }

  std::optional<Json> unsigned_integer() {
    const std::size_t start = at_;
    std::uint64_t value = 0;
    for (; at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9'; ++at_) {
      const auto digit = static_cast<std::uint64_t>(text_[at_] - '0');
      if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
      value = value * 10 + digit;
    }
    const std::size_t digits = at_ - start;
    if (digits == 0 || (digits > 1 && text_[start] == '0')) return std::nullopt;
    if (at_ < text_.size() && (text_[at_] == '.' || text_[at_] == 'e' || text_[at_] == 'E')) {
      return std::nullopt;
    }
    return Json(value);
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

// Line and column (both from 1) of the bracket that opens level MAX_JSON_DEPTH + 1.
// The parser accepted everything before it, so a plain scan that skips strings
// finds the same bracket.
std::string position_of_excess_bracket(std::string_view text) {
  std::size_t depth = 0, line = 1, column = 0;
  bool in_string = false, escaped = false;
  for (char c : text) {
    ++column;
    if (c == '\n') {
      ++line;
      column = 0;
      continue;
    }
    if (in_string) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > MAX_JSON_DEPTH) break;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// "[json.exception.parse_error.101] parse error at ..." without the library's tag.
std::string without_tag(const char* what) {
  std::string_view text = what;
  if (!text.empty() && text.front() == '[') {
    const auto end = text.find("] ");
    if (end != std::string_view::npos) text.remove_prefix(end + 2);
  }
  return std::string(text);
}

// The library ends a lexical error's description with "; last read: '...'",
// the bytes it read last. In an "unlock" those are bytes of the secret, and the
// description goes back in a reply: keep the problem and its position, drop
// the quote. Its length is known, so a quote character inside it cannot end it
// early.
std::string without_quoted_input(std::string text, std::size_t quoted_bytes) {
  constexpr std::string_view OPENING = "; last read: '";
  const std::size_t start = text.find(OPENING);
  if (start == std::string::npos) return text;
  const std::size_t end = start + OPENING.size() + quoted_bytes;
  if (end >= text.size() || text[end] != '\'') return text;
  text.erase(start, end + 1 - start);
  return text;
}

// What Json::dump(-1, ' ', false, strict) writes, into any buffer the
// library's output adapters take.
template <class Buffer>
Result<Ok, JsonError> write_compact(Buffer& out, const Json& value) {
  try {
    nlohmann::detail::serializer<Json> serializer(nlohmann::detail::output_adapter<char>(out), ' ',
                                                  Json::error_handler_t::strict);
    serializer.dump(value, /*pretty_print=*/false, /*ensure_ascii=*/false, /*indent_step=*/0);
  } catch (const Json::exception& e) {
    return JsonError{without_tag(e.what())};
  }
  return Ok{};
}

}  // namespace

Result<Json, JsonError> parse_json_text(std::string_view text) {
  if (std::optional<Json> flat = FlatObjectReader(text).read()) return std::move(*flat);
  Json value;
  DepthLimitedBuilder builder(value);
  try {
    const bool complete = Json::sax_parse(text, &builder);
    if (builder.too_deep()) {
      return JsonError{"parse error at " + position_of_excess_bracket(text) +
                       ": nesting too deep; at most " + std::to_string(MAX_JSON_DEPTH) +
                       " levels of arrays and objects are allowed"};
    }
    if (!complete) return JsonError{"parse error: incomplete value"};
  } catch (const Json::exception& e) {
    // It goes into a JSON reply, so it must be UTF-8 whatever is left in it.
    return JsonError{
        utf8_lossy(without_quoted_input(without_tag(e.what()), builder.last_token_bytes()))};
  }
  return value;
}

Result<std::string, JsonError> encode_compact(const Json& value) {
  std::string text;
  if (Result<Ok, JsonError> written = write_compact(text, value); !written.ok()) {
    return std::move(written).error();
  }
  return text;
}

Result<Ok, JsonError> append_compact(WipedBytes& out, const Json& value) {
  return write_compact(out, value);
}

}  // namespace tarnwel
