// The transfers' calendar rules (transfer_file.h): a file time shown as
// the fields of the local time and back.
#include "transfer/transfer_file.h"

void TransferToLocalTime(long long t, TransferLocalTime *lt)
{
    std::tm tmv{};
    if (!TransferSysLocalTime(t, &tmv)) {
        *lt = TransferLocalTime{1980, 1, 1, 0, 0, 0};
        return;
    }
    lt->year = tmv.tm_year + 1900;
    lt->month = tmv.tm_mon + 1;
    lt->day = tmv.tm_mday;
    lt->hour = tmv.tm_hour;
    lt->minute = tmv.tm_min;
    lt->second = tmv.tm_sec;
}

long long TransferFromLocalTime(const TransferLocalTime *lt)
{
    std::tm tmv{};
    tmv.tm_year = lt->year - 1900;
    tmv.tm_mon = lt->month - 1;
    tmv.tm_mday = lt->day;
    tmv.tm_hour = lt->hour;
    tmv.tm_min = lt->minute;
    tmv.tm_sec = lt->second;
    tmv.tm_isdst = -1;
    return TransferSysMakeTime(&tmv);
}

int TransferFileTime(std::FILE *f, long long *t)
{
    long long length = 0;
    return TransferSysStat(f, t, &length);
}

long long TransferFileLength(std::FILE *f)
{
    long long modified = 0, length = 0;
    return TransferSysStat(f, &modified, &length) == 0 ? length : -1;
}
