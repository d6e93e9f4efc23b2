#include "platform/format.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace orlo {

namespace {

// One parsed directive: %[index:][-][width][.precision]type
struct Spec {
  bool leftAlign = false;
  int width = -1;
  int precision = -1;
  char type = 0;
};

[[noreturn]] void Invalid(std::string_view fmt) {
  throw EConvertError("Format '" + std::string(fmt) + "' invalid or incompatible with argument");
}

[[noreturn]] void NoArgument(std::string_view fmt) {
  throw EConvertError("No argument for format '" + std::string(fmt) + "'");
}

// Reads the arguments in order; an index specifier moves the position.
class ArgReader {
 public:
  ArgReader(std::string_view fmt, std::span<const FormatArg> args) : fmt_(fmt), args_(args) {}

  const FormatArg& Next() {
    if (pos_ >= args_.size()) NoArgument(fmt_);
    return args_[pos_++];
  }
  long long NextInteger() {
    const FormatArg& a = Next();
    if (const long long* v = std::get_if<long long>(&a)) return *v;
    Invalid(fmt_);
  }
  void Seek(std::size_t index) { pos_ = index; }

 private:
  std::string_view fmt_;
  std::span<const FormatArg> args_;
  std::size_t pos_ = 0;
};

std::string Pad(std::string text, const Spec& spec) {
  if (spec.width > 0 && text.size() < static_cast<std::size_t>(spec.width)) {
    const std::string fill(static_cast<std::size_t>(spec.width) - text.size(), ' ');
    text = spec.leftAlign ? text + fill : fill + text;
  }
  return text;
}

// Decimal or hexadecimal digits of an integer, zero-filled to the precision
// (the sign does not count as a digit, as "%.2d" of -5 gives "-05").
std::string IntegerText(long long v, const Spec& spec) {
  const bool negative = v < 0 && spec.type != 'x';
  unsigned long long magnitude =
      negative ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  char buf[32];
  std::snprintf(buf, sizeof buf, spec.type == 'x' ? "%llX" : "%llu", magnitude);
  std::string digits = buf;
  if (spec.precision > 0 && digits.size() < static_cast<std::size_t>(spec.precision))
    digits.insert(0, static_cast<std::size_t>(spec.precision) - digits.size(), '0');
  return negative ? "-" + digits : digits;
}

std::string FixedText(double v, int precision) {
  if (!std::isfinite(v)) return std::isnan(v) ? "NAN" : (v > 0 ? "INF" : "-INF");
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", precision, v);
  return buf;
}

// The general form: the shortest text with up to `precision` significant
// digits, fixed-point while the value is >= 0.00001 and its integer part fits
// in the precision, otherwise scientific ("1.5E20"); no trailing zeros.
std::string GeneralText(double v, int precision) {
  if (!std::isfinite(v)) return std::isnan(v) ? "NAN" : (v > 0 ? "INF" : "-INF");
  if (v == 0) return "0";
  if (precision < 1) precision = 1;
  if (precision > 18) precision = 18;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", precision - 1, v);
  // buf: [-]d.ddddde[+-]xx
  std::string s = buf;
  const std::size_t e = s.find('e');
  const int exponent = std::atoi(s.c_str() + e + 1);
  const bool negative = s[0] == '-';
  std::string digits;
  for (std::size_t i = negative ? 1 : 0; i < e; ++i)
    if (s[i] != '.') digits += s[i];
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string out = negative ? "-" : "";
  const double magnitude = std::fabs(v);
  if (exponent < precision && magnitude >= 0.00001) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else {
      const std::size_t intDigits = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= intDigits) {
        out += digits;
        out.append(intDigits - digits.size(), '0');
      } else {
        out += digits.substr(0, intDigits) + "." + digits.substr(intDigits);
      }
    }
  } else {
    out += digits.substr(0, 1);
    if (digits.size() > 1) out += "." + digits.substr(1);
    out += "E" + std::to_string(exponent);
  }
  return out;
}

// Scientific form: one digit, precision-1 decimals, "E", sign, three digits.
std::string ScientificText(double v, int precision) {
  if (!std::isfinite(v)) return std::isnan(v) ? "NAN" : (v > 0 ? "INF" : "-INF");
  if (precision < 1) precision = 1;
  if (precision > 18) precision = 18;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", precision - 1, v);
  std::string s = buf;
  const std::size_t e = s.find('e');
  const int exponent = std::atoi(s.c_str() + e + 1);
  char expText[16];
  std::snprintf(expText, sizeof expText, "E%c%03d", exponent < 0 ? '-' : '+', std::abs(exponent));
  return s.substr(0, e) + expText;
}

double FloatArgument(const FormatArg& a, std::string_view fmt) {
  if (const double* d = std::get_if<double>(&a)) return *d;
  // An integer widens to a float without loss of meaning, so it is accepted.
  if (const long long* i = std::get_if<long long>(&a)) return static_cast<double>(*i);
  Invalid(fmt);
}

// Parses the directive starting after '%' at fmt[i]; advances i past it.
Spec ParseSpec(std::string_view fmt, std::size_t& i, ArgReader& args) {
  Spec spec;
  auto readNumber = [&](int& out) {
    if (i < fmt.size() && fmt[i] == '*') {
      const long long v = args.NextInteger();
      out = v < 0 ? -1 : static_cast<int>(std::min<long long>(v, 1000));
      ++i;
      return true;
    }
    if (i >= fmt.size() || fmt[i] < '0' || fmt[i] > '9') return false;
    long long v = 0;
    while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
      v = std::min<long long>(v * 10 + (fmt[i] - '0'), 100000);
      ++i;
    }
    out = static_cast<int>(std::min<long long>(v, 1000));
    return true;
  };

  // Optional argument index "n:".
  std::size_t save = i;
  int number = -1;
  if (i < fmt.size() && fmt[i] != '*' && readNumber(number) && i < fmt.size() && fmt[i] == ':') {
    args.Seek(static_cast<std::size_t>(number));
    ++i;
  } else {
    i = save;
  }
  if (i < fmt.size() && fmt[i] == '-') {
    spec.leftAlign = true;
    ++i;
  }
  readNumber(spec.width);
  if (i < fmt.size() && fmt[i] == '.') {
    ++i;
    if (!readNumber(spec.precision)) spec.precision = 0;
  }
  if (i >= fmt.size()) Invalid(fmt);
  char t = fmt[i++];
  if (t >= 'A' && t <= 'Z') t = static_cast<char>(t - 'A' + 'a');
  spec.type = t;
  return spec;
}

}  // namespace

std::string FormatV(std::string_view fmt, std::span<const FormatArg> args) {
  std::string out;
  out.reserve(fmt.size() + 16);
  ArgReader reader(fmt, args);
  std::size_t i = 0;
  while (i < fmt.size()) {
    const char c = fmt[i++];
    if (c != '%') {
      out += c;
      continue;
    }
    if (i < fmt.size() && fmt[i] == '%') {
      out += '%';
      ++i;
      continue;
    }
    const Spec spec = ParseSpec(fmt, i, reader);
    switch (spec.type) {
      case 'd':
      case 'u':
      case 'x': {
        const FormatArg& a = reader.Next();
        const long long* v = std::get_if<long long>(&a);
        if (!v) Invalid(fmt);
        out += Pad(IntegerText(*v, spec), spec);
        break;
      }
      case 's': {
        const FormatArg& a = reader.Next();
        const std::string* s = std::get_if<std::string>(&a);
        if (!s) Invalid(fmt);
        std::string text = *s;
        if (spec.precision >= 0 && text.size() > static_cast<std::size_t>(spec.precision))
          text.resize(static_cast<std::size_t>(spec.precision));
        out += Pad(std::move(text), spec);
        break;
      }
      case 'f': {
        const double v = FloatArgument(reader.Next(), fmt);
        out += Pad(FixedText(v, spec.precision >= 0 ? spec.precision : 2), spec);
        break;
      }
      case 'g': {
        const double v = FloatArgument(reader.Next(), fmt);
        out += Pad(GeneralText(v, spec.precision >= 0 ? spec.precision : 15), spec);
        break;
      }
      case 'e': {
        const double v = FloatArgument(reader.Next(), fmt);
        out += Pad(ScientificText(v, spec.precision >= 0 ? spec.precision : 15), spec);
        break;
      }
      default:
        Invalid(fmt);
    }
  }
  return out;
}

}  // namespace orlo
