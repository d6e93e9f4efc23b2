// Placeholder: replaced by the ICMP implementation.
#include "platform/ping.h"

namespace orlo {

TPingResult IcmpEcho(const std::string&, int, int) {
  return {TPingOutcome::Error, "not implemented"};
}

}  // namespace orlo
