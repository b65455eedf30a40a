#include "shared/stationid.h"

namespace stationid {

bool isValid(std::string_view text)
{
    if (text.empty())
        return false;
    long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
        if (value > kMax)
            return false;
    }
    return value >= 1;
}

} // namespace stationid
