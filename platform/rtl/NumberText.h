// Numbers as text in the C locale, whatever locale the host process has set.
//
// The text forms every layer makes and reads of a binary floating point value: a host that calls
// setlocale for its code set also gets the locale's decimal separator in printf and strtod, so
// nothing here goes through them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qorvin {

// The shortest text that reads back to the same double: fixed notation for decimal exponents
// -4 to 14 ("0.30000000000000004", "123456789.12345679", "0.0001"), scientific beyond
// ("1e+15", "1.5e-07"); "-0", "inf", "-inf" and "nan" for those values.
std::string DoubleText(double value);
// The same for a single: the shortest text that reads back to the same float.
std::string SingleText(float value);

// Fixed notation without an exponent and with every digit of the shortest round-trip form
// ("1e+20" -> "100000000000000000000", "1.5e-07" -> "0.00000015"). Finite values only.
std::string PlainDoubleDigits(double value);

enum class DoubleParse { kOk, kInvalid, kOverflow, kUnderflow };

// Reads a decimal number in C-locale form: optional leading white space and sign ('+' or '-'),
// digits with an optional '.' fraction, an optional exponent; "inf", "infinity" and "nan" in
// any case. The whole text must be the number. kOverflow: beyond the double range (`value` is
// set to the signed infinity); kUnderflow: nearer zero than the smallest double (`value` is the
// signed zero). `value` is left alone for kInvalid.
DoubleParse ParseDoubleText(std::string_view text, double& value);

enum class ScaledParse { kOk, kInvalid, kOutOfRange };

// Reads exact decimal text (optional leading white space and sign, digits with an optional '.'
// fraction, an optional exponent: "-12.5", "1.25e3") as an integer scaled by 10^scale (0..18),
// without going through a double: digits beyond `scale` places round half away from zero.
// kOutOfRange when the scaled value does not fit 64 bits; `value` is left alone then and for
// kInvalid.
ScaledParse ParseScaledDecimal(std::string_view text, int scale, int64_t& value);

}  // namespace qorvin
