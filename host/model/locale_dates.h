#pragma once

// Dates and times in the user's locale, as the model's texts and the windows show them.

#include <QString>

#include "quillcore/base/clock.h"

namespace quill::host {

// Short and without the weekday: "Dec 6, 2026", "6. Dez. 2026", "2026年12月6日".
QString abbreviatedDate(SystemTime time);
// The same, then the time to the second without a time zone: "Dec 6, 2026, 3:04:05 PM".
QString abbreviatedDateAndStandardTime(SystemTime time);
// The same, then the locale's short time, hours and minutes: "Dec 6, 2026, 3:04 PM",
// "6. Dez. 2026, 15:04".
QString abbreviatedDateAndShortTime(SystemTime time);

}  // namespace quill::host
