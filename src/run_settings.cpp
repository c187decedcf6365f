#include "run.h"

#include "serial_port.h"

int32_t delay_convert(const char *word)
{
    const char *c = word;
    while (*c == ' ' || (*c >= '\t' && *c <= '\r'))
        c++;
    bool negative = *c == '-';
    if (*c == '-' || *c == '+')
        c++;
    // Accumulate the magnitude in 64 bits and stop growing once it is past
    // the range, so no digit count can overflow.
    int64_t magnitude = 0;
    for (; *c >= '0' && *c <= '9'; c++)
        if (magnitude <= INT32_MAX)
            magnitude = magnitude * 10 + (*c - '0');
    if (negative)
        return magnitude > -int64_t{INT32_MIN} ? INT32_MIN : static_cast<int32_t>(-magnitude);
    return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

const char *line_label(int selection)
{
    if (selection == LINE_DTR)
        return "DTR";
    if (selection == (LINE_DTR | LINE_RTS))
        return "DTR and RTS";
    return "RTS";
}
