#include "protocol/input_decoder.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include <simdjson.h>

namespace veskar {
namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kUInt32Max = std::numeric_limits<uint32_t>::max();

// simdjson rejects numbers it cannot represent (integers past 2^64, doubles
// past 1e308), though they are valid JSON. A line that fails on such a number
// is parsed again with each of them replaced by a string, so that it is
// ignored under an undeclared key and rejected under a declared one.
std::string replaceUnrepresentableNumbers(const std::string& line) {
  std::string out;
  out.reserve(line.size() + 64);
  std::size_t i = 0;
  const std::size_t n = line.size();
  auto isDigit = [&](std::size_t k) { return k < n && line[k] >= '0' && line[k] <= '9'; };
  while (i < n) {
    const char c = line[i];
    if (c == '"') {  // copy the string through, escapes included
      const std::size_t start = i++;
      while (i < n && line[i] != '"') i += line[i] == '\\' ? 2 : 1;
      i = std::min(i + 1, n);
      out.append(line, start, i - start);
      continue;
    }
    if (c != '-' && !isDigit(i)) {
      out.push_back(c);
      ++i;
      continue;
    }
    const std::size_t start = i;
    bool integral = true;
    if (line[i] == '-') ++i;
    while (isDigit(i)) ++i;
    if (i < n && line[i] == '.') {
      integral = false;
      ++i;
      while (isDigit(i)) ++i;
    }
    if (i < n && (line[i] == 'e' || line[i] == 'E')) {
      integral = false;
      ++i;
      if (i < n && (line[i] == '+' || line[i] == '-')) ++i;
      while (isDigit(i)) ++i;
    }
    const std::string token = line.substr(start, i - start);
    bool representable;
    errno = 0;
    if (integral && token[0] == '-') {
      (void)std::strtoll(token.c_str(), nullptr, 10);
      representable = errno == 0;
    } else if (integral) {
      (void)std::strtoull(token.c_str(), nullptr, 10);
      representable = errno == 0;
    } else {
      representable = std::isfinite(std::strtod(token.c_str(), nullptr));
    }
    if (representable) {
      out.append(token);
    } else {
      out.append("\"number out of range\"");
    }
  }
  return out;
}

// Reads an optional integer key within [low, high]; integral doubles (1.0,
// -0, 1e2) count as integers.
std::optional<int64_t> integerMember(const element& value, const char* key, int64_t low, int64_t high) {
  const std::string k(key);
  auto rangeError = [&] { return InputDecodingError(k + " is out of range"); };
  switch (value.type()) {
    case element_type::NULL_VALUE:
      return std::nullopt;
    case element_type::INT64: {
      const int64_t v = int64_t(value);
      if (v < low || v > high) throw rangeError();
      return v;
    }
    case element_type::UINT64:
      // Only values above INT64_MAX are typed unsigned.
      throw rangeError();
    case element_type::DOUBLE: {
      const double v = double(value);
      if (v != std::trunc(v)) throw InputDecodingError(k + " must be an integer");
      // high + 1 is a power of two for every key, so exact as a double.
      if (v < static_cast<double>(low) || v >= static_cast<double>(high) + 1.0) throw rangeError();
      return static_cast<int64_t>(v);
    }
    default:
      throw InputDecodingError(k + " must be an integer");
  }
}

std::optional<element> lookup(const simdjson::dom::object& object, const char* key) {
  element value;
  if (object.at_key(key).get(value) != simdjson::SUCCESS) return std::nullopt;
  return value;
}

}  // namespace

struct InputEventDecoder::Parser {
  simdjson::dom::parser parser;
};

InputEventDecoder::InputEventDecoder() : parser_(std::make_unique<Parser>()) {}
InputEventDecoder::~InputEventDecoder() = default;

InputEvent InputEventDecoder::decode(const std::string& line) {
  element root;
  simdjson::error_code error = parser_->parser.parse(line).get(root);
  std::string replaced;
  if (error == simdjson::NUMBER_ERROR) {
    replaced = replaceUnrepresentableNumbers(line);
    error = parser_->parser.parse(replaced).get(root);
  }
  if (error == simdjson::EMPTY) throw InputDecodingError("Invalid JSON: the line is empty");
  if (error != simdjson::SUCCESS) {
    throw InputDecodingError(std::string("Invalid JSON: ") + simdjson::error_message(error));
  }
  simdjson::dom::object object;
  if (root.get(object) != simdjson::SUCCESS) throw InputDecodingError("expected a JSON object");

  InputEvent event;
  const auto type = lookup(object, "type");
  if (!type || type->is_null()) throw InputDecodingError("missing type");
  std::string_view typeText;
  if (type->get(typeText) != simdjson::SUCCESS) throw InputDecodingError("type must be a string");
  event.type = std::string(typeText);

  if (const auto v = lookup(object, "source_id")) {
    event.source_id = integerMember(*v, "source_id", kInt64Min, kInt64Max);
  }
  if (const auto v = lookup(object, "sequence")) {
    if (const auto sequence = integerMember(*v, "sequence", 0, kUInt32Max)) {
      event.sequence = static_cast<uint32_t>(*sequence);
    }
  }
  if (const auto v = lookup(object, "captured_at_ms")) {
    event.captured_at_ms = integerMember(*v, "captured_at_ms", kInt64Min, kInt64Max);
  }
  if (const auto v = lookup(object, "pcm_base64"); v && !v->is_null()) {
    std::string_view text;
    if (v->get(text) != simdjson::SUCCESS) throw InputDecodingError("pcm_base64 must be a string");
    event.pcm_base64 = std::string(text);
  }
  return event;
}

}  // namespace veskar
