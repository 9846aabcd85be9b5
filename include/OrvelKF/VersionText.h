// Version texts of the components and the current time as text.
//
// Forms by component: engines 0 and 9 "%d.%d.%d" (major, scaled minor, build;
// "%d.000.%d" when the scaled minor is 0), engine 8 the same with unsigned
// numbers, engine 5 its three numbers unscaled, virus-scan patterns (1 to 4,
// 10) the pattern number written with dots (576300 is 5.763.00), the spam
// pattern 6 "%u.%03u" of base version and patch number, the spam incremental
// pattern 7 "%d" of its rule version.
#pragma once

#include <string>

#pragma GCC visibility push(default)

// Reads a dotted version text as a number and a minor: 5.763.00 gives 576300
// and 763. A text of fewer than three parts gives 10000 and 100; a number that
// does not fit 32 bits gives 10000.
void getVerByNumber(unsigned long& number, unsigned short& minor, const char* version);

// Writes a pattern number with its dots: 576300 gives 5.763.00, 12345 gives
// 0.123.45, 42 gives 0.42, 7 gives 7.
void formatPatternVersion(unsigned number, std::string& out);

// On entry the strftime format, on return the current local time in it; an
// empty format (or a result longer than 255 characters) gives "%m/%d/%Y %X".
// 0 on success; -1 with an empty text when the time cannot be converted.
int getcurtime(std::string& format);

// The minor number as versions show it: 0 to 9 times 100, 10 to 99 times 10,
// larger ones unchanged.
unsigned kfScaleMinorVersion(unsigned minor);

#pragma GCC visibility pop
