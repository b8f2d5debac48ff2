// Exact decimal numbers for the record set's numeric columns (CY, DECIMAL, NUMERIC, VARNUMERIC):
// parsing, rescaling, and conversion between decimal digits and little-endian binary magnitudes.
// Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/rtl/Variant.h"

namespace qorvin::ado {

// Value = (negative ? -1 : 1) * digits * 10^-places. `digits` has no leading zeros ("0" for
// zero); `places` >= 0.
struct DecNumber {
  bool negative = false;
  std::string digits = "0";
  int places = 0;
  bool IsZero() const { return digits == "0"; }
};

// "[+|-]digits[.digits][(e|E)[+|-]digits]" (either digit run may be empty, not both).
// EAdoError for anything else or an exponent beyond +-400.
DecNumber ParseDecimal(std::string_view text);
// "-12.340", "0.05", "7": the places are kept, a zero is never negative.
std::string FormatDecimal(const DecNumber& number);
// The exact value of an integer, boolean (0 / 1), currency, decimal, BCD or text value; floats by
// their shortest round-trip decimal form. EAdoError for other kinds, NaN and infinities.
DecNumber DecimalOfVariant(const Variant& value);
// The number with exactly `places` decimal places; extra places are rounded half away from zero.
DecNumber Rescale(const DecNumber& number, int places);
// Drops trailing zero places.
DecNumber TrimFraction(const DecNumber& number);
// The integer `digits * 10^(places - number.places)` written as `size` little-endian bytes:
// false when it does not fit.
bool DigitsToMagnitude(std::string_view digits, uint8_t* out, size_t size);
// Decimal digits of a little-endian unsigned magnitude ("0" for zero).
std::string MagnitudeToDigits(const uint8_t* magnitude, size_t size);
// BCD value of the number; EAdoError when it has more than 64 digits or 63 places.
Bcd ToBcd(const DecNumber& number);

}  // namespace qorvin::ado
