#pragma once
// Name resolution of the socket unit: host, port and protocol texts to numbers, blocking on the
// calling thread. Failures raise ESocketException, the numeric range checks the class library's
// ERangeError and EIntOverflow.

#include <string>

#include "wsock32.h"

// How the decimal texts treat values out of range: one program raises the class library's
// errors, the other keeps the low bits. Chosen once at program start; raising is the default.
enum class TEventSocketNumberMode { RaiseErrors, Wrap };
void SetEventSocketNumberMode(TEventSocketNumberMode Mode);
TEventSocketNumberMode EventSocketNumberMode();

// IPv4 address in network byte order.
ULONG EventSocketResolveHost(const std::string& InAddr);
// Port number in host byte order.
USHORT EventSocketResolvePort(const std::string& Port, const std::string& Proto);
int EventSocketResolveProto(const std::string& Proto);

// Leading blanks, then the decimal digits up to the first other character; 0 without digits.
int ParseDecimal(const std::string& S);
bool IsDigitChar(char C);
// Four decimal parts of at most 255, blanks allowed around the quad but not inside it.
bool IsDottedQuad(const std::string& S);
