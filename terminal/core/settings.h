// The settings file "tarvik.ini" in the current working directory.
#pragma once

constexpr const char *SettingsFileName = "tarvik.ini";

void LoadSettings();
void ReloadFileLists();
void SaveSettings();
void ShowCurrentSettings();
void ShowFileLists();

// Reads a decimal integer the way the settings file and the command line
// do: leading blanks, an optional sign, digits up to the first non-digit.
// Returns 1 and the value when at least one digit was read, else 0.
// Values beyond the int range are held at its ends.
int ParseDecimal(const char *text, int *value);
// As ParseDecimal, but no digits give 0.
int DecimalOrZero(const char *text);
