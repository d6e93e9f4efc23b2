#include "support/tracereader.h"

#include <pcap/pcap.h>

#include <fstream>

namespace orlo::test {

TTraceFileContents ReadTrace(const std::string& path) {
  TTraceFileContents out;
  {
    // libpcap converts time stamps to the precision asked for: the magic
    // number says which one the file itself has.
    std::ifstream in(path, std::ios::binary);
    std::uint32_t magic = 0;
    in.read(reinterpret_cast<char*>(&magic), sizeof magic);
    out.microseconds = magic == 0xa1b2c3d4;
  }
  char err[PCAP_ERRBUF_SIZE] = {};
  pcap_t* p = pcap_open_offline(path.c_str(), err);
  if (!p) {
    out.error = err;
    return out;
  }
  out.linkType = pcap_datalink(p);
  out.snapLen = pcap_snapshot(p);
  pcap_pkthdr* h = nullptr;
  const u_char* data = nullptr;
  int r = 0;
  while ((r = pcap_next_ex(p, &h, &data)) == 1) {
    TTraceEntry e;
    e.sec = static_cast<long>(h->ts.tv_sec);
    e.usec = static_cast<long>(h->ts.tv_usec);
    e.len = h->len;
    e.payload.assign(reinterpret_cast<const char*>(data), h->caplen);
    out.entries.push_back(std::move(e));
  }
  out.ok = r == PCAP_ERROR_BREAK;
  if (!out.ok) out.error = pcap_geterr(p);
  pcap_close(p);
  return out;
}

}  // namespace orlo::test
