#include "platform/format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/text.h"

namespace orlo {

namespace {

// One parsed directive: %[index:][-][width][.precision]type
struct Directive {
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

std::string Pad(std::string text, const Directive& dir) {
  if (dir.width > 0 && text.size() < static_cast<std::size_t>(dir.width)) {
    const std::string fill(static_cast<std::size_t>(dir.width) - text.size(), ' ');
    text = dir.leftAlign ? text + fill : fill + text;
  }
  return text;
}

// Decimal or hexadecimal digits of an integer, zero-filled to the precision
// (the sign does not count as a digit, as "%.2d" of -5 gives "-05").
std::string IntegerText(long long v, const Directive& dir) {
  const bool negative = v < 0 && dir.type != 'x';
  unsigned long long magnitude =
      negative ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
  char buf[32];
  std::snprintf(buf, sizeof buf, dir.type == 'x' ? "%llX" : "%llu", magnitude);
  std::string digits = buf;
  if (dir.precision > 0 && digits.size() < static_cast<std::size_t>(dir.precision))
    digits.insert(0, static_cast<std::size_t>(dir.precision) - digits.size(), '0');
  return negative ? "-" + digits : digits;
}

std::string NonFiniteText(double v) { return std::isnan(v) ? "NAN" : (v > 0 ? "INF" : "-INF"); }

std::string FixedText(double v, int precision) {
  if (!std::isfinite(v)) return NonFiniteText(v);
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", precision, v);
  return buf;
}

// The significant digits of the floating forms: 1..18.
int SignificantDigits(int precision) { return std::clamp(precision, 1, 18); }

// A finite value as C's "%.*e" writes it with this many significant digits
// ("[-]d.ddde[+-]xx"), with the position of its 'e' and the exponent.
struct TENotation {
  std::string text;
  std::size_t e = 0;
  int exponent = 0;
};

TENotation ENotation(double v, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*e", digits - 1, v);
  TENotation n{buf};
  n.e = n.text.find('e');
  n.exponent = std::atoi(n.text.c_str() + n.e + 1);
  return n;
}

// The general form: the shortest text with up to `precision` significant
// digits, fixed-point while the value is >= 0.00001 and its integer part fits
// in the precision, otherwise scientific ("1.5E20"); no trailing zeros.
std::string GeneralText(double v, int precision) {
  if (!std::isfinite(v)) return NonFiniteText(v);
  if (v == 0) return "0";
  precision = SignificantDigits(precision);
  const auto [s, e, exponent] = ENotation(v, precision);
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
  if (!std::isfinite(v)) return NonFiniteText(v);
  const TENotation n = ENotation(v, SignificantDigits(precision));
  char expText[16];
  std::snprintf(expText, sizeof expText, "E%c%03d", n.exponent < 0 ? '-' : '+',
                std::abs(n.exponent));
  return n.text.substr(0, n.e) + expText;
}

double FloatArgument(const FormatArg& a, std::string_view fmt) {
  if (const double* d = std::get_if<double>(&a)) return *d;
  // An integer widens to a float without loss of meaning, so it is accepted.
  if (const long long* i = std::get_if<long long>(&a)) return static_cast<double>(*i);
  Invalid(fmt);
}

// Parses the directive starting after '%' at fmt[i]; advances i past it.
Directive ParseDirective(std::string_view fmt, std::size_t& i, ArgReader& args) {
  Directive dir;
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
    dir.leftAlign = true;
    ++i;
  }
  readNumber(dir.width);
  if (i < fmt.size() && fmt[i] == '.') {
    ++i;
    if (!readNumber(dir.precision)) dir.precision = 0;
  }
  if (i >= fmt.size()) Invalid(fmt);
  dir.type = LowerCase(fmt.substr(i++, 1)).front();
  return dir;
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
    const Directive dir = ParseDirective(fmt, i, reader);
    switch (dir.type) {
      case 'd':
      case 'u':
      case 'x': {
        const FormatArg& a = reader.Next();
        const long long* v = std::get_if<long long>(&a);
        if (!v) Invalid(fmt);
        out += Pad(IntegerText(*v, dir), dir);
        break;
      }
      case 's': {
        const FormatArg& a = reader.Next();
        const std::string* s = std::get_if<std::string>(&a);
        if (!s) Invalid(fmt);
        std::string text = *s;
        if (dir.precision >= 0 && text.size() > static_cast<std::size_t>(dir.precision))
          text.resize(static_cast<std::size_t>(dir.precision));
        out += Pad(std::move(text), dir);
        break;
      }
      case 'f': {
        const double v = FloatArgument(reader.Next(), fmt);
        out += Pad(FixedText(v, dir.precision >= 0 ? dir.precision : 2), dir);
        break;
      }
      case 'g': {
        const double v = FloatArgument(reader.Next(), fmt);
        out += Pad(GeneralText(v, dir.precision >= 0 ? dir.precision : 15), dir);
        break;
      }
      case 'e': {
        const double v = FloatArgument(reader.Next(), fmt);
        out += Pad(ScientificText(v, dir.precision >= 0 ? dir.precision : 15), dir);
        break;
      }
      default:
        Invalid(fmt);
    }
  }
  return out;
}

}  // namespace orlo
