// The storage hardware name Windows gives a USB disk, built from its INQUIRY
// data: "DISK&VEN_Generic&PROD_RQ4820_Disk&REV_1.00".
#pragma once

#include <string>

namespace qmr::location {

// In place: cuts trailing blanks (spaces only) and turns every remaining
// blank into "_". A NUL inside the field ends it.
void NormaliseInquiryField(char* text);

// "DISK&VEN_%s&PROD_%s&REV_%s" from the vendor (bytes 8..15), product
// (16..31) and revision (32..35) of 36 bytes of INQUIRY data; at most 48
// characters.
std::string FormatUsbString(const unsigned char inquiry[36]);

// Opens the letter with the identify check, sends INQUIRY and formats the
// answer. False when the open or the INQUIRY fails.
bool ReadUsbString(char letter, std::string& out);

}  // namespace qmr::location
