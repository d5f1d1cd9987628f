// Number recognition in operator and file texts.
#include "server/upstream/numeric_text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <system_error>

namespace mdl {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// States of the recogniser for: blanks sign? (digits [. digits] | . digits)
// [e sign? digits] blanks.
enum class State {
  kLead,       // leading blanks
  kSign,       // after the sign
  kInt,        // integer digits (accepting)
  kPoint,      // a point with no digit before it
  kFrac,       // after the point with a digit somewhere (accepting)
  kExp,        // after e/E
  kExpSign,    // after the exponent's sign
  kExpDigits,  // exponent digits (accepting)
  kTrail,      // trailing blanks after a number (accepting)
  kDead,
};

bool Accepting(State s) {
  return s == State::kInt || s == State::kFrac || s == State::kExpDigits || s == State::kTrail;
}

State Step(State s, char c) {
  const bool digit = IsDigit(c);
  const bool blank = IsBlank(c);
  const bool sign = c == '+' || c == '-';
  const bool point = c == '.';
  const bool exp = c == 'e' || c == 'E';
  switch (s) {
    case State::kLead:
      if (blank) return State::kLead;
      if (sign) return State::kSign;
      if (digit) return State::kInt;
      if (point) return State::kPoint;
      return State::kDead;
    case State::kSign:
      if (digit) return State::kInt;
      if (point) return State::kPoint;
      return State::kDead;
    case State::kInt:
      if (digit) return State::kInt;
      if (point) return State::kFrac;
      if (exp) return State::kExp;
      if (blank) return State::kTrail;
      return State::kDead;
    case State::kPoint:
      return digit ? State::kFrac : State::kDead;
    case State::kFrac:
      if (digit) return State::kFrac;
      if (exp) return State::kExp;
      if (blank) return State::kTrail;
      return State::kDead;
    case State::kExp:
      if (sign) return State::kExpSign;
      return digit ? State::kExpDigits : State::kDead;
    case State::kExpSign:
      return digit ? State::kExpDigits : State::kDead;
    case State::kExpDigits:
      if (digit) return State::kExpDigits;
      if (blank) return State::kTrail;
      return State::kDead;
    case State::kTrail:
      return blank ? State::kTrail : State::kDead;
    case State::kDead:
      return State::kDead;
  }
  return State::kDead;
}

}  // namespace

std::size_t NumericPrefixLength(std::string_view text) {
  State s = State::kLead;
  std::size_t best = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    s = Step(s, text[i]);
    if (s == State::kDead) break;
    if (Accepting(s)) best = i + 1;
  }
  return best;
}

bool IsNumericText(std::string_view text) {
  return !text.empty() && NumericPrefixLength(text) == text.size();
}

double LeadingNumber(std::string_view text) {
  std::string_view number = text.substr(0, NumericPrefixLength(text));
  while (!number.empty() && IsBlank(number.front())) number.remove_prefix(1);
  while (!number.empty() && IsBlank(number.back())) number.remove_suffix(1);
  if (number.empty()) return 0.0;
  bool negative = false;
  if (number.front() == '+' || number.front() == '-') {
    negative = number.front() == '-';
    number.remove_prefix(1);
  }
  double value = 0.0;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Either far too large or a denormal underflow; tell them apart by the
    // exponent's sign.
    const bool tiny =
        number.find("e-") != std::string_view::npos || number.find("E-") != std::string_view::npos;
    value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
  } else if (ec != std::errc()) {
    value = 0.0;
  }
  return negative ? -value : value;
}

double RoundHalfEven(double value) {
  if (!std::isfinite(value)) return value;
  const double floor = std::floor(value);
  const double diff = value - floor;
  if (diff < 0.5) return floor;
  if (diff > 0.5) return floor + 1.0;
  return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

}  // namespace mdl
