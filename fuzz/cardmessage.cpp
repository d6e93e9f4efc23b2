// libFuzzer target for the display-message templates (ExpandMessageTemplate,
// the walk of ExpandCardMessage). The input's first byte picks field lengths,
// the rest is the template. Checks: no crash, a known code asked for once per
// '%' pair, no trailing blank or control character, output no longer than the
// template plus the fields, and a template without '%' comes back as itself
// less its trailing blanks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "access/checksteps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t fieldLength = data[0] % 40;
  const std::string templ(reinterpret_cast<const char*>(data + 1), size - 1);

  std::size_t calls = 0;
  const std::string out = orlo::ExpandMessageTemplate(templ, [&](char code) {
    ++calls;
    // A field of letters, and trailing blanks to be cut when last.
    return std::string(fieldLength, code == 'c' ? '7' : 'x') + (code == 's' ? "  " : "");
  });

  if (calls > templ.size() / 2) std::abort();
  if (out.size() > templ.size() + calls * (fieldLength + 2)) std::abort();
  if (!out.empty() && static_cast<unsigned char>(out.back()) <= ' ') std::abort();
  if (templ.find('%') == std::string::npos) {
    std::string trimmed = templ;
    while (!trimmed.empty() && static_cast<unsigned char>(trimmed.back()) <= ' ')
      trimmed.pop_back();
    if (out != trimmed) std::abort();
  }
  return 0;
}
