// What counts as a station id, for the launcher and the client library alike.
#pragma once

#include <string_view>

namespace stationid {

// The launcher holds a station id in 16 bits, and no station is 0 or below.
inline constexpr int kMax = 32767;

// A whole number from 1 to kMax in decimal digits only (leading zeros
// allowed). The id goes into SQL as written, so nothing else may pass: not
// "7 OR 1=1", not a sign, not a blank.
bool isValid(std::string_view text);

} // namespace stationid
