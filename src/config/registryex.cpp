#include "config/registryex.h"

#include <unistd.h>

#include <cstring>

#include "platform/registrystore.h"

namespace orlo {

// Printable ASCII without the blank, the quotes, the grave accent and the
// backslash, in a fixed shuffled order: scrambled values then never need
// escaping in the store file and never lose trailing blanks.
const char kScrambleAlphabet[] =
    "/DO5_jSZ0UG2(sgv7RQ<6Cl3c?P]L9Mf}TYi~EybINpW,k)w8eqB=>^[$J!1-{aKndzx:Fr|#V&4t+Ao;Xhm.@H*%u";

namespace {

constexpr int kAlphabetLength = 90;
static_assert(sizeof(kScrambleAlphabet) - 1 == kAlphabetLength);

// 1-based position in the alphabet, 0 when absent.
int Position(char c) {
  if (c == '\0') return 0;
  const char* p = std::strchr(kScrambleAlphabet, c);
  return p ? static_cast<int>(p - kScrambleAlphabet) + 1 : 0;
}

}  // namespace

TRegistryEx::TRegistryEx(std::string keyPath, std::string registryFile)
    : keyPath_(std::move(keyPath)), registryFile_(std::move(registryFile)) {}

std::string TRegistryEx::GetString(const std::string& name) {
  const auto store =
      TRegistryStore::Load(registryFile_.empty() ? RegistryFileName() : registryFile_);
  const auto v = store.Value(keyPath_, name);
  missing_ = !v || (v->type != TRegValueType::String && v->type != TRegValueType::ExpandString);
  return missing_ ? std::string() : v->text;
}

int TRegistryEx::GetInteger(const std::string& name) {
  const auto store =
      TRegistryStore::Load(registryFile_.empty() ? RegistryFileName() : registryFile_);
  const auto v = store.Value(keyPath_, name);
  missing_ = !v || v->type != TRegValueType::DWord;
  return missing_ ? 0 : static_cast<int>(v->dword);
}

bool TRegistryEx::GetBool(const std::string& name) { return GetInteger(name) != 0; }

std::string TRegistryEx::GetStringDef(const std::string& name, const std::string& def) {
  std::string v = GetString(name);
  return missing_ ? def : v;
}

bool TRegistryEx::GetBoolDef(const std::string& name, bool def) {
  const bool v = GetBool(name);
  return missing_ ? def : v;
}

int TRegistryEx::GetIntegerDef(const std::string& name, int def) {
  const int v = GetInteger(name);
  return missing_ ? def : v;
}

std::string TRegistryEx::GetScrambled(const std::string& name) {
  return Unscramble(GetString(name));
}

std::string Unscramble(const std::string& stored) {
  std::string out(stored.size(), ' ');
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const long long shift = static_cast<long long>((i + 1) % kAlphabetLength);
    long long q = Position(stored[i]) - shift;
    while (q < 1) q += kAlphabetLength;
    out[i] = kScrambleAlphabet[q - 1];
  }
  return out;
}

bool Scramble(const std::string& plain, std::string& stored) {
  std::string out(plain.size(), ' ');
  for (std::size_t i = 0; i < plain.size(); ++i) {
    const int p = Position(plain[i]);
    if (p == 0) return false;
    long long q = p + static_cast<long long>((i + 1) % kAlphabetLength);
    while (q > kAlphabetLength) q -= kAlphabetLength;
    out[i] = kScrambleAlphabet[q - 1];
  }
  stored = std::move(out);
  return true;
}

std::string ReadComputerName(const std::string& registryFile) {
  TRegistryEx reg("\\System\\CurrentControlSet\\Control\\ComputerName\\ComputerName\\",
                  registryFile);
  std::string name = reg.GetString("ComputerName");
  if (!name.empty()) return name;
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) return std::string();
  return host;
}

}  // namespace orlo
