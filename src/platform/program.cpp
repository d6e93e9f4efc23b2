#include "platform/program.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/mutex.h"
#include "platform/version.h"

namespace orlo {

namespace {

TMutex homeLock;
std::string homeFolder GUARDED_BY(homeLock);  // empty until set

}  // namespace

std::string ProgramPath() {
  std::error_code ec;
  const std::filesystem::path p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : p.string();
}

std::string ProgramVersion() { return ORLO_VERSION_TEXT; }

std::string HomeFolder() {
  {
    TLockGuard lock(homeLock);
    if (!homeFolder.empty()) return homeFolder;
  }
  // ORLOCARD_HOME stands in for --home, so tools and tests started without
  // the option agree with the service on where the settings and logs are.
  if (const char* env = std::getenv("ORLOCARD_HOME"); env && *env) {
    std::error_code ec;
    return std::filesystem::absolute(env, ec).lexically_normal().string();
  }
  const std::string exe = ProgramPath();
  if (exe.empty()) {
    std::error_code ec;
    return std::filesystem::current_path(ec).string();
  }
  return std::filesystem::path(exe).parent_path().string();
}

void SetHomeFolder(const std::string& dir) {
  std::error_code ec;
  std::string full =
      dir.empty() ? std::string() : std::filesystem::absolute(dir, ec).lexically_normal().string();
  // "dir/" and "dir" are the same folder; keep no trailing separator.
  while (full.size() > 1 && full.back() == '/') full.pop_back();
  TLockGuard lock(homeLock);
  homeFolder = full;
}

std::string SettingsFileName() {
  return (std::filesystem::path(HomeFolder()) / "orlocard.ini").string();
}

}  // namespace orlo
