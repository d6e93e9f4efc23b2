// The one result-line format every benchmark program prints, so that
// scripts/bench can gather the figures of all of them into one table:
//   FIGURE <name> | <value> | <unit> | <op> <target> | yes|no
// A figure without a target prints "-" for the target and for whether it is met.
#pragma once

#include <cstdio>
#include <string>

namespace orlo::bench {

enum class TGoal { None, AtMost, AtLeast };

inline void PrintFigure(const std::string& name, double value, const std::string& unit,
                        TGoal goal = TGoal::None, double target = 0) {
  const char* met = "-";
  std::string targetText = "-";
  if (goal != TGoal::None) {
    const bool ok = goal == TGoal::AtMost ? value <= target : value >= target;
    met = ok ? "yes" : "no";
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s %g", goal == TGoal::AtMost ? "<=" : ">=", target);
    targetText = buf;
  }
  // Four significant digits, but never an exponent for a large count.
  const char* valueFormat = value >= 1e4 || value <= -1e4 ? "%.0f" : "%.4g";
  char valueText[48];
  std::snprintf(valueText, sizeof valueText, valueFormat, value);
  std::printf("FIGURE %s | %s | %s | %s | %s\n", name.c_str(), valueText, unit.c_str(),
              targetText.c_str(), met);
  std::fflush(stdout);
}

}  // namespace orlo::bench
