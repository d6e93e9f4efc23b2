// libFuzzer target for the device status reports: the printer report
// ("first[,second]" status words), the counter report (4-bit running counts)
// and the alarm input report. Checks: no crash, words decoded as the decimal
// numbers they spell, the status text made only of the known bit texts, the
// device update holding only numbers, counts within 0..15.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "counters/counter.h"
#include "counters/input.h"
#include "db/sql.h"
#include "loop/loop.h"

namespace {

// Every character of the status text comes from the bit texts ("offline;"
// ...) or is the "Ok" of a clean word.
bool KnownStatusText(const std::string& text) {
  if (text == "Ok") return true;
  for (char c : text)
    if (!(c == ';' || c == ' ' || (c >= 'a' && c <= 'z'))) return false;
  return !text.empty() && text.back() == ';';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);

  int first = -1, second = -1;
  const bool two = orlo::TLoop::PrinterWords(value, first, second);
  if (two != (value.find(',') != std::string::npos)) std::abort();
  if (!two && second != 0) std::abort();
  // A word that parses must be the number its text spells.
  const std::string head = value.substr(0, value.find(','));
  int expect = 0;
  const auto [end, ec] = std::from_chars(head.data(), head.data() + head.size(), expect);
  if (ec == std::errc() && end == head.data() + head.size() && first != expect) std::abort();

  for (int word : {first, second}) {
    const std::string status = orlo::TLoop::PrinterStatusText(word);
    if (!KnownStatusText(status) || status.size() > 200) std::abort();
  }
  orlo::TSql sql(orlo::dbkMySQL);
  orlo::TLoop::AddPrinterColumns(sql, first, false);
  orlo::TLoop::AddPrinterColumns(sql, second, true);
  std::string text;
  sql.BuildUpdate("UPDATE device", "WHERE id = 1", text);
  for (char c : text)
    if (c == '\'' || c == '"' || c == ';') std::abort();

  for (int i = 0; i <= orlo::TCounter::kHardwareCounters + 1; ++i) {
    const int v = orlo::TCounter::CounterValue(value, i);
    if (v < 0 || v > 15) std::abort();
    const int step = orlo::TCounter::CounterStep(orlo::TCounter::CounterValue(value, i + 1), v);
    if (step < 0 || step > 15) std::abort();
  }
  for (int input = -1; input <= 9; ++input) {
    const bool active = orlo::TInput::InputActive(value, input);
    if (active && (input < 1 || input > 8 || value.empty())) std::abort();
  }
  return 0;
}
