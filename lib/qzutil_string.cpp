/* SPDX-License-Identifier: Apache-2.0 */
#include "qzutil.h"

#include <climits>
#include <cstring>
#include <ctime>

void QZUtil::TrimStr(char *text)
{
    if (text == nullptr || text[0] == '\0')
        return;
    size_t lead = 0;
    while (text[lead] == ' ')
        lead++;
    if (text[lead] == '\0') {
        /* All spaces: only the first byte changes. */
        text[0] = '\0';
        return;
    }
    size_t len = lead;
    while (text[len] != '\0')
        len++;
    if (lead > 0) {
        for (size_t i = lead; i < len; i++)
            text[i - lead] = text[i];
        memset(text + (len - lead), ' ', lead);
    }
    /* The vacated positions are spaces now, so this also clears them; it stops at the first
     * non-space byte, which exists because the text was not all spaces. */
    size_t end = len;
    while (text[end - 1] == ' ') {
        text[end - 1] = '\0';
        end--;
    }
}

long long QZUtil::ReadDecimal(const char *text, size_t width)
{
    size_t i = 0;
    while (i < width && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        i++;
    const bool negative = i < width && text[i] == '-';
    if (i < width && (text[i] == '-' || text[i] == '+'))
        i++;
    const unsigned long long limit =
        negative ? static_cast<unsigned long long>(LLONG_MAX) + 1 : LLONG_MAX;
    unsigned long long v = 0;
    for (; i < width && text[i] >= '0' && text[i] <= '9'; i++) {
        const unsigned int digit = static_cast<unsigned int>(text[i] - '0');
        v = v > (limit - digit) / 10 ? limit : v * 10 + digit;
    }
    if (!negative)
        return static_cast<long long>(v);
    return v == limit ? LLONG_MIN : -static_cast<long long>(v);
}

int QZUtil::CheckDateFormat(const char *text)
{
    if (text == nullptr)
        return 0;
    size_t len = 0;
    while (len < 9 && text[len] != '\0')
        len++;
    if (len != 8)
        return 0;

    const int year = static_cast<int>(ReadDecimal(text, 4));
    const int month = static_cast<int>(ReadDecimal(text + 4, 2));
    const int day = static_cast<int>(ReadDecimal(text + 6, 2));

    /* Noon with the daylight-saving flag left to mktime: at midnight with the flag forced to 0,
     * zones whose clocks change at midnight or whose winter time is flagged as daylight saving
     * (negative offset) would move the time into the previous or next day and reject a real
     * date. */
    struct tm t;
    memset(&t, 0, sizeof t);
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    /* mktime sets tm_wday only when it succeeds; -1 is also a valid time_t. */
    t.tm_wday = -1;
    if (mktime(&t) == static_cast<time_t>(-1) && t.tm_wday == -1)
        return 0;
    if (t.tm_year != year - 1900 || t.tm_mon != month - 1 || t.tm_mday != day)
        return 0;
    return 1;
}
