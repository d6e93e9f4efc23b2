// Reading an SQL script file (the schema and demo files) into its statements,
// for the programs and tests that build a site database from them.
// A pure function: any thread.
#pragma once

#include <istream>
#include <string>
#include <vector>

namespace orlo {

// The statements of a script, in order, without their ';'. A statement ends
// with ';' at the end of a line (blanks after it allowed); lines starting with
// "--" are comments. Text after the last ';' is no statement.
std::vector<std::string> SqlScriptStatements(std::istream& in);

}  // namespace orlo
