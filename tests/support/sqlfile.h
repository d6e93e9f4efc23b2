// Reading a text file and running an SQL script file, shared by every test
// that builds a site database from schema/.
#pragma once

#include <string>

#include "db/odbc.h"

namespace orlo::test {

// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string& path);

// Runs every statement of an SQL file (statements end with ';' at a line end,
// lines starting with "--" are comments); false, with a test failure, at the
// first statement that fails.
bool RunSqlFile(TODBC& odbc, const std::string& path);

}  // namespace orlo::test
