// libFuzzer target for the registry store reader. The input is a store file
// (any bytes, UTF-16 with its byte order mark included), read through Load as
// orlocard reads it. Checks: no crash, at most one problem per line, a parsed
// value of each kind carries only what that kind holds, and a value of the
// input's first line written back in the export syntax reads back the same.
#include "platform/registrystore.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "inputfile.h"

namespace {

// The export syntax of a string value: backslash and quote escaped.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  const orlo::TRegistryStore store =
      orlo::TRegistryStore::Load(orlo::fuzz::WriteInputFile("orlo-fuzz-reg", raw));
  std::size_t lines = 1;
  for (char c : raw) lines += c == '\n' ? 1 : 0;
  if (store.Problems().size() > lines) std::abort();
  const auto host = store.Value("\\Software\\Quenlor\\Orlo\\", "Host");
  if (host && host->type == orlo::TRegValueType::DWord && !host->text.empty()) std::abort();

  // Round trip of a string value: the input's first line, without the line
  // ends the syntax cannot hold.
  std::string text = raw.substr(0, raw.find('\n'));
  if (text.find('\r') != std::string::npos || text.find('\0') != std::string::npos) return 0;
  const std::string file =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Quenlor\\Orlo]\n"
      "\"Host\"=" +
      Quoted(text) + "\n";
  const orlo::TRegistryStore back = orlo::TRegistryStore::Parse(file);
  const auto value = back.Value("Software\\Quenlor\\Orlo", "HOST");
  if (!value || value->type != orlo::TRegValueType::String || value->text != text) std::abort();
  return 0;
}
