// File times for tests: FILETIME values from calendar times, and setting a
// file's last write to a local moment.
#pragma once

#include <string>

#include "platform/filesystem.h"

namespace kvtest {

// A UTC calendar moment as a FILETIME.
win::FILETIME FileTimeFromUtc(int year, int month, int day, int hour, int minute, int second);
// A moment of the process's local time zone as a (UTC) FILETIME.
win::FILETIME FileTimeFromLocal(int year, int month, int day, int hour, int minute, int second);
// Sets the last-write time of `path` to a local moment; fails the test when
// it cannot.
void SetLocalLastWrite(const std::string& path, int year, int month, int day, int hour, int minute, int second);

}  // namespace kvtest
