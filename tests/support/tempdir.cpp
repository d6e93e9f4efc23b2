#include "support/tempdir.h"

#include <stdlib.h>

#include <stdexcept>

namespace orlo::test {

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "orlotest.XXXXXX").string();
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

}  // namespace orlo::test
