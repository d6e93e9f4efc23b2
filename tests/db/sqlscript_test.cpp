// Splitting a schema file into statements: where one ends and what is left out.
#include "db/sqlscript.h"

#include <gtest/gtest.h>

#include <sstream>

namespace orlo {
namespace {

std::vector<std::string> Statements(const std::string& script) {
  std::istringstream in(script);
  return SqlScriptStatements(in);
}

// A ';' ends a statement only at a line end (blanks and a CR after it
// allowed); one inside a line, as in a trigger body or a string, does not.
// Comment lines are dropped; text after the last ';' is no statement.
TEST(SqlScript, StatementsEndWithASemicolonAtALineEnd) {
  const auto statements = Statements(
      "-- the card table\n"
      "CREATE TABLE card (number INT);\n"
      "INSERT INTO card VALUES (1); INSERT INTO card VALUES (2);\t \r\n"
      "CREATE TRIGGER t AFTER INSERT ON card\n"
      "-- inside the trigger\n"
      "BEGIN UPDATE card SET number = number; END;\n"
      "INSERT INTO card VALUES ('a;b')\n"
      ";\n"
      "SELECT 'left open'\n");
  const std::vector<std::string> expected = {
      "CREATE TABLE card (number INT)",
      "INSERT INTO card VALUES (1); INSERT INTO card VALUES (2)",
      "CREATE TRIGGER t AFTER INSERT ON card\nBEGIN UPDATE card SET number = number; END",
      "INSERT INTO card VALUES ('a;b')\n",
  };
  EXPECT_EQ(statements, expected);
  EXPECT_TRUE(Statements("").empty());
  EXPECT_TRUE(Statements("-- only a comment;\n").empty());
}

}  // namespace
}  // namespace orlo
