// A fresh folder under the system's temporary directory, removed with its
// contents when the object goes out of scope.
#pragma once

#include <filesystem>
#include <string>

namespace orlo::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace orlo::test
