#pragma once
// Drive files: what the demo server sends, as timed lines of id=value pairs.
//
//   # a comment; blank lines are ignored
//   <ms> <id>=<value> [<id>=<value> ...]
//
// <ms> counts milliseconds from the client's end-of-request and may not go back; <id> is 0 to
// 255 (92 excepted, it carries no number); <value> is a decimal number. Each line becomes one
// data packet.

#include <istream>
#include <string>
#include <vector>

#include "TravoServer.h"

namespace travo {

// False with "line N: ..." in error on the first line that is not of this form.
bool ParseDrive(std::istream& in, std::vector<TStep>& steps, std::string& error);
// The line of a drive file that sends Values at AtMs; ParseDrive reads it back as it was.
std::string DriveLine(int AtMs, const std::vector<TValue>& Values);

}  // namespace travo
