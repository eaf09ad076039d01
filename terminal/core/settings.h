// The settings file "tarvik.ini" in the current working directory.
#pragma once

constexpr const char *SettingsFileName = "tarvik.ini";
// The start of the names of the temporary files that are written first
// and then renamed over the settings file.
constexpr const char *SettingsTempName = "tarvik.ini.tmp";

void LoadSettings();
void ReloadFileLists();
void SaveSettings();
void ShowCurrentSettings();
void ShowFileLists();

// A value is stored as one blank-separated token: a text holding a blank, a
// tab or a line end would read back as another setting.  Returns 1 when text
// can be stored; otherwise prints why it is not taken and returns 0.
int StorableSetting(const char *text);

// Reads a decimal integer the way the settings file and the command line
// do: leading blanks, an optional sign, digits up to the first non-digit.
// Returns 1 and the value when at least one digit was read, else 0.
// Values beyond the int range are held at its ends.
int ParseDecimal(const char *text, int *value);
// As ParseDecimal, but no digits give 0.
int DecimalOrZero(const char *text);

// The bit rates that the /B option and the B setting take: 2 (0 would hang
// up the line) up to MaxBitRate; a value beyond (or one that overflows) is
// refused.  Returns 1 and the rate when usable, else 0.
constexpr int MinBitRate = 2;
constexpr int MaxBitRate = 20000000;
int ParseBitRate(const char *text, int *rate);
// Screen rows as /S and the W setting take them: held within 20..50.
int ClampScreenRows(int rows);
