#pragma once

namespace vexlink {

// Fixed platform values announced to the phone and printed in the report.
int getOsType();                                  // 2
void getOsVersion(int* major, int* minor);        // 0, 0
void getTimerPeriodRange(int* minMs, int* maxMs); // 1, 1

}  // namespace vexlink
