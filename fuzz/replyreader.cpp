// libFuzzer target for the reply reader: any byte sequence, fed byte by byte,
// must keep the reply text within its cap, finish within kMaxBytes bytes, and
// accept only the ACK reply or a text whose check byte matched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "bus/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  orlo::TReplyReader reader;
  reader.Reset();
  std::size_t start = 0;  // first byte of the current reply
  for (std::size_t i = 0; i < size; ++i) {
    const auto st = reader.Feed(data[i]);
    if (reader.Text().size() > orlo::TReplyReader::kMaxText) std::abort();
    if (i - start >= orlo::TReplyReader::kMaxBytes && st == orlo::TReplyReader::TStatus::More)
      std::abort();
    if (st == orlo::TReplyReader::TStatus::More) continue;
    if (st == orlo::TReplyReader::TStatus::Good && reader.Text() != "*") {
      std::uint8_t lrc = orlo::kEOT;
      for (char c : reader.Text()) lrc ^= static_cast<std::uint8_t>(c);
      if (i == start || data[i - 1] != orlo::kEOT || lrc != data[i]) std::abort();
    }
    start = i + 1;
    reader.Reset();  // go on with the rest of the input as the next reply
  }
  return 0;
}
