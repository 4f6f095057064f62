#include "format/UtcTime.h"

#include <cstdio>

namespace vt {

namespace {

constexpr int64_t KDaySeconds = 86400;

// Days from 1970-01-01 to the civil date (the proleptic Gregorian calendar), for dates from
// 1970 on.
int64_t DaysFromCivil(int64_t Year, int64_t Month, int64_t Day) {
  Year -= Month <= 2 ? 1 : 0;
  const int64_t era = Year / 400;
  const int64_t yearOfEra = Year - era * 400;
  const int64_t dayOfYear = (153 * (Month + (Month > 2 ? -3 : 9)) + 2) / 5 + Day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

struct TCivil {
  int64_t Year, Month, Day;
};

TCivil CivilFromDays(int64_t Days) {
  Days += 719468;
  const int64_t era = Days / 146097;
  const int64_t dayOfEra = Days - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const int64_t month = monthIndex + (monthIndex < 10 ? 3 : -9);
  return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// The digits of Text[At, At + Count) as a number; nothing when any is not a digit.
std::optional<int64_t> Digits(std::string_view Text, size_t At, size_t Count) {
  int64_t value = 0;
  for (size_t i = At; i < At + Count; ++i) {
    if (Text[i] < '0' || Text[i] > '9')
      return std::nullopt;
    value = value * 10 + (Text[i] - '0');
  }
  return value;
}

}  // namespace

std::optional<int64_t> ReadUtcTime(std::string_view Text) {
  if (Text.size() != 20 || Text[4] != '-' || Text[7] != '-' || Text[10] != 'T' || Text[13] != ':' ||
      Text[16] != ':' || Text[19] != 'Z') {
    return std::nullopt;
  }
  const auto year = Digits(Text, 0, 4), month = Digits(Text, 5, 2), day = Digits(Text, 8, 2);
  const auto hour = Digits(Text, 11, 2), minute = Digits(Text, 14, 2), second = Digits(Text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second || *year < 1970 || *month < 1 ||
      *month > 12 || *day < 1 || *hour > 23 || *minute > 59 || *second > 59) {
    return std::nullopt;
  }
  const int64_t days = DaysFromCivil(*year, *month, *day);
  // A day past the month's end comes out in the next month: such a date does not exist.
  if (const TCivil civil = CivilFromDays(days); civil.Month != *month || civil.Day != *day)
    return std::nullopt;
  return days * KDaySeconds + *hour * 3600 + *minute * 60 + *second;
}

std::string UtcTimeText(int64_t Seconds) {
  const TCivil civil = CivilFromDays(Seconds / KDaySeconds);
  const int64_t rest = Seconds % KDaySeconds;
  char text[48];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                static_cast<long long>(civil.Year), static_cast<long long>(civil.Month),
                static_cast<long long>(civil.Day), static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

std::string UtcDateText(int64_t Seconds) {
  return UtcTimeText(Seconds).substr(0, 10);
}

}  // namespace vt
