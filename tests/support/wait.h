// Waiting in tests: for a condition, with a deadline. The deadlines are
// generous (shared machines, sanitizer builds): they only keep a failing
// test from hanging and never measure speed.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace orlo::test {

constexpr std::chrono::milliseconds kDeadline{30000};

// Polls pred until it holds (true) or the deadline passes (false).
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds deadline = kDeadline);

// How often text occurs in all.
int CountOf(const std::string& all, const std::string& text);

}  // namespace orlo::test
