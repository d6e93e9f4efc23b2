#include "support/sqlfile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "db/sqlscript.h"

namespace orlo::test {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool RunSqlFile(TODBC& odbc, const std::string& path) {
  std::istringstream in(ReadFile(path));
  TODBCStatement q(odbc);
  for (const std::string& statement : SqlScriptStatements(in)) {
    if (!q.ExecSQL(statement)) {
      ADD_FAILURE() << "failed: " << statement;
      return false;
    }
  }
  return true;
}

}  // namespace orlo::test
