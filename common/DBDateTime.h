// Date-time texts as the databases give them, turned into QxDBTimestamp fields. Internal.
#pragma once

#include <cstdint>

#include "OrvelCommon/QxDBResultset.h"

namespace ORVEL {

// Parses "YYYY-MM-DD[ T]HH:MM[:SS[.fraction]]" with an optional offset ("Z", "+09", "+09:00",
// "-0530"). A text with an offset names an absolute time, which is given in local time. False for
// anything else.
bool parseDateTimeText(const char* text, QxDBTimestamp& value);

// Seconds since 1970 (UTC) as local date-time fields.
bool localTimestampFromEpoch(std::int64_t seconds, QxDBTimestamp& value);

}  // namespace ORVEL
