#include "protocol/json_string.h"

#include <cstdint>
#include <optional>

namespace tarnwel {
namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

std::optional<std::uint32_t> hex4(std::string_view text, std::size_t at) {
  if (at + 4 > text.size()) return std::nullopt;
  std::uint32_t value = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const char c = text[i];
    value <<= 4;
    if (c >= '0' && c <= '9') {
      value |= static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value |= static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      value |= static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
  }
  return value;
}

void append_utf8(WipedBytes& out, std::uint32_t cp) {
  const auto byte = [&](std::uint32_t b) { out.push_back(static_cast<char>(b)); };
  if (cp < 0x80) {
    byte(cp);
  } else if (cp < 0x800) {
    byte(0xC0 | (cp >> 6));
    byte(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    byte(0xE0 | (cp >> 12));
    byte(0x80 | ((cp >> 6) & 0x3F));
    byte(0x80 | (cp & 0x3F));
  } else {
    byte(0xF0 | (cp >> 18));
    byte(0x80 | ((cp >> 12) & 0x3F));
    byte(0x80 | ((cp >> 6) & 0x3F));
    byte(0x80 | (cp & 0x3F));
  }
}

}  // namespace

void append_json_string(WipedBytes& out, std::string_view text) {
  // Reserve once for the common case, so that the text is rarely copied by growth.
  out.reserve(out.size() + text.size() + 2);
  out.push_back('"');
  for (const char c : text) {
    switch (c) {
      case '"': append(out, "\\\""); break;
      case '\\': append(out, "\\\\"); break;
      case '\b': append(out, "\\b"); break;
      case '\t': append(out, "\\t"); break;
      case '\n': append(out, "\\n"); break;
      case '\f': append(out, "\\f"); break;
      case '\r': append(out, "\\r"); break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          append(out, "\\u00");
          out.push_back(HEX_DIGITS[static_cast<unsigned char>(c) >> 4]);
          out.push_back(HEX_DIGITS[static_cast<unsigned char>(c) & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

Result<WipedBytes, std::string> decode_json_string(std::string_view body) {
  WipedBytes out;
  out.reserve(body.size());  // decoding never lengthens the text
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (static_cast<unsigned char>(c) < 0x20) return std::string("control byte in a string");
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (++i == body.size()) return std::string("string ends inside an escape");
    switch (body[i]) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '/': out.push_back('/'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        std::optional<std::uint32_t> cp = hex4(body, i + 1);
        if (!cp) return std::string("bad \\u escape in a string");
        i += 4;
        if (*cp >= 0xDC00 && *cp <= 0xDFFF) return std::string("lone low surrogate in a string");
        if (*cp >= 0xD800 && *cp <= 0xDBFF) {
          const bool has_pair = i + 2 < body.size() && body[i + 1] == '\\' && body[i + 2] == 'u';
          const std::optional<std::uint32_t> low = has_pair ? hex4(body, i + 3) : std::nullopt;
          if (!low || *low < 0xDC00 || *low > 0xDFFF) {
            return std::string("lone high surrogate in a string");
          }
          i += 6;
          cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
        }
        append_utf8(out, *cp);
        break;
      }
      default:
        return std::string("bad escape in a string");
    }
  }
  return out;
}

std::size_t end_of_json_string(std::string_view text, std::size_t start) {
  for (std::size_t i = start + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return text.size() + 1;
}

}  // namespace tarnwel
