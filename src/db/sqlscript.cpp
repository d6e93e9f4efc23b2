#include "db/sqlscript.h"

#include <string_view>

#include "platform/text.h"

namespace orlo {

std::vector<std::string> SqlScriptStatements(std::istream& in) {
  std::vector<std::string> statements;
  std::string line, statement;
  while (std::getline(in, line)) {
    if (line.rfind("--", 0) == 0) continue;
    statement += line + "\n";
    const std::string_view trimmed = TrimWhiteSpaceView(line);
    if (!trimmed.empty() && trimmed.back() == ';') {
      statement.erase(statement.find_last_of(';'));
      statements.push_back(std::move(statement));
      statement.clear();
    }
  }
  return statements;
}

}  // namespace orlo
