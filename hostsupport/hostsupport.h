// The two conversions the plug-in takes from the host's support library.
#pragma once

// Rounds to the nearest integer, halves away from zero. Whole numbers come back exactly;
// at 30000/1001 frames per second this gives 30 whole frames, not 29.
int DoubleToInt(double value);

// Copies the NUL-terminated UTF-16 string at pSrc, terminator included, to pDest.
// Returns the number of code units copied, terminator excluded.
int _zvstrcpy(char16_t* pDest, const char16_t* pSrc);  // NOLINT(bugprone-reserved-identifier)
