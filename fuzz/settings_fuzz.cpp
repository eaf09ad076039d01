// Fuzz target: the settings file reader.  Any file loads without overrun,
// the text fields stay terminated within their sizes, the parity index stays
// one of the five letters, and saving what was loaded is a fixed point:
// loading the saved file and saving again writes the same bytes.
#include "fuzz_support.h"
#include "globals.h"
#include "settings.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

void WriteFile(const char *name, const std::uint8_t *data, std::size_t size)
{
    std::FILE *f = std::fopen(name, "wb");
    FUZZ_CHECK(f != nullptr);
    if (size > 0)
        FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(std::fclose(f) == 0);
}

std::string ReadFile(const char *name)
{
    std::ifstream in(name, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void CheckFields()
{
    FUZZ_CHECK(std::memchr(DownloadFileName, 0, DownloadFileNameSize) != nullptr);
    for (int i = 0; i < RunArgCount; ++i)
        FUZZ_CHECK(std::memchr(RunArgs[i], 0, RunArgSize) != nullptr);
    for (int i = 0; i < MultiFileCount; ++i)
        FUZZ_CHECK(std::memchr(MultiFiles[i], 0, MultiFileSize) != nullptr);
    FUZZ_CHECK(ParityIndex >= 0 && ParityIndex <= 4);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzQuietStdio();
    FUZZ_CHECK(chdir(FuzzTempDir("settings").c_str()) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    ResetGlobals();
    WriteFile(SettingsFileName, data, size);
    LoadSettings();
    CheckFields();
    ReloadFileLists();
    CheckFields();
    ShowCurrentSettings();
    ShowFileLists();

    SaveSettings();
    std::string first = ReadFile(SettingsFileName);
    ResetGlobals();
    LoadSettings();
    CheckFields();
    SaveSettings();
    std::string second = ReadFile(SettingsFileName);
    FUZZ_CHECK(first == second);

    // A parsed number is the decimal value of the text, held at the int range.
    std::string text(reinterpret_cast<const char *>(data), size);
    int value = 12345;
    if (ParseDecimal(text.c_str(), &value) == 0)
        FUZZ_CHECK(value == 12345 && DecimalOrZero(text.c_str()) == 0);
    else
        FUZZ_CHECK(DecimalOrZero(text.c_str()) == value);
    unlink(SettingsFileName);
    return 0;
}
