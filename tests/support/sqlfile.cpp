#include "support/sqlfile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace orlo::test {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool RunSqlFile(TODBC& odbc, const std::string& path) {
  std::istringstream in(ReadFile(path));
  std::string line, statement;
  TODBCStatement q(odbc);
  while (std::getline(in, line)) {
    if (line.rfind("--", 0) == 0) continue;
    statement += line + "\n";
    auto end = line.find_last_not_of(" \t\r");
    if (end != std::string::npos && line[end] == ';') {
      statement.erase(statement.find_last_of(';'));
      if (!q.ExecSQL(statement)) {
        ADD_FAILURE() << "failed: " << statement;
        return false;
      }
      statement.clear();
    }
  }
  return true;
}

}  // namespace orlo::test
