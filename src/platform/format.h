// Text formatting with the directives the system's log lines and SQL texts use:
// %d, %s, %f (two decimals), %g (general, up to 15 significant digits), %x, %%,
// with optional width and precision ("%.2d" zero-fills an integer to two digits).
// An argument missing or of the wrong kind raises EConvertError, as callers
// such as TMessLog::LogFmt expect to catch and log it. Thread-safe (pure).
#pragma once

#include <concepts>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>

namespace orlo {

// The error class of conversions and formatting (bad format, bad argument).
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using FormatArg = std::variant<long long, double, std::string>;

std::string FormatV(std::string_view fmt, std::span<const FormatArg> args);

namespace detail {
template <class T>
FormatArg ToFormatArg(const T& v) {
  if constexpr (std::same_as<T, bool> || std::integral<T> || std::is_enum_v<T>)
    return static_cast<long long>(v);
  else if constexpr (std::floating_point<T>)
    return static_cast<double>(v);
  else
    return std::string(std::string_view(v));
}
}  // namespace detail

template <class... A>
std::string Format(std::string_view fmt, const A&... args) {
  const FormatArg list[] = {detail::ToFormatArg(args)..., FormatArg{}};
  return FormatV(fmt, std::span<const FormatArg>(list, sizeof...(A)));
}

}  // namespace orlo
