// What the commands print beside their results: JSON strings and link
// errors with their texts and advice.
#include "Cli.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace cli {

namespace {

// What a result code means, for a link error that came without a text of
// the server's; null for a code this program does not know.
const char* CodeText(HRESULT code) {
  static const struct {
    HRESULT code;
    const char* text;
  } kTexts[] = {
      {E_INVALIDARG, "an argument is not valid"},
      {E_OUTOFMEMORY, "out of memory"},
      {E_ACCESSDENIED, "access denied"},
      {E_FAIL, "unspecified failure"},
      {E_UNEXPECTED, "unexpected failure"},
      {E_NOINTERFACE, "the object does not offer the interface asked for"},
      {E_POINTER, "a pointer argument is null"},
      {E_NOTIMPL, "not implemented"},
      {REGDB_E_CLASSNOTREG, "the link server is not registered"},
      {CO_E_SERVER_EXEC_FAILURE, "the link server could not be started, or did not answer in time"},
      {HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), "the link server is not available (it has ended)"},
      {HRESULT_FROM_WIN32(RPC_S_CALL_FAILED), "the link server ended during the call"},
      {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "file not found"},
      {HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "access denied"},
      {HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), "not enough memory"},
      {moravane::kNoRemoteObject, "the handle is not linked to an object"},
      {moravane::kSharedMemoryFailed, "the shared memory section could not be created or mapped"},
  };
  for (const auto& row : kTexts) {
    if (row.code == code) return row.text;
  }
  return nullptr;
}

// What a user can do about a link failure, when there is something to say.
const char* LinkErrorAdvice(HRESULT code) {
  static const HRESULT kNotRegistered = REGDB_E_CLASSNOTREG;
  if (code == kNotRegistered) {
    return "the link server is not registered for this user; register it with:\n"
           "  moravane-cli register";
  }
  return nullptr;
}

}  // namespace

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

namespace {

// The shortest text that reads back as the same double: a reader of the
// JSON gets the server's figure exactly, not one cut to fewer digits, and
// 10 stays "10" (not "1e+01").
std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";  // JSON has no infinities or NaN
  char text[40];
  const std::to_chars_result written = std::to_chars(text, text + sizeof text, value);
  return std::string(text, written.ptr);
}

void AppendJson(std::string& out, const std::vector<moravane::host::Field>& fields) {
  using Kind = moravane::host::Field::Kind;
  out += '{';
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const moravane::host::Field& field = fields[i];
    if (i > 0) out += ", ";
    out += Json(field.key) + ": ";
    switch (field.kind) {
      case Kind::kInteger:
        out += std::to_string(field.integer);
        break;
      case Kind::kReal:
        out += JsonNumber(field.real);
        break;
      case Kind::kBool:
        out += field.truth ? "true" : "false";
        break;
      case Kind::kText:
        out += Json(field.text);
        break;
      case Kind::kNull:
        out += "null";
        break;
      case Kind::kGroup:
        AppendJson(out, field.group);
        break;
    }
  }
  out += '}';
}

}  // namespace

std::string JsonObject(const std::vector<moravane::host::Field>& fields) {
  std::string out;
  AppendJson(out, fields);
  return out;
}

void PrintLinkError(const moravane::LinkError& error) {
  // Every code gets a text: the server's, else this program's own.
  std::string text = Narrow(error.GetErrorString());
  if (text.empty()) {
    const char* known = CodeText(static_cast<HRESULT>(error.GetError()));
    text = known != nullptr ? known : "no text for this code";
  }
  std::fprintf(stderr, "moravane-cli: link error 0x%08X: %s\n", static_cast<unsigned>(error.GetError()), text.c_str());
  if (const char* advice = LinkErrorAdvice(error.GetError())) std::fprintf(stderr, "moravane-cli: %s\n", advice);
}

}  // namespace cli
