#include "typing.h"

#include "display.h"
#include "globals.h"
#include "serial.h"

#include <cstdio>
#include <cstring>

std::atomic<int> LocalEcho{0};
std::atomic<int> MapFlags{0};

namespace {

constexpr const char *ItemNames[MapItemCount] = {"crlf", "icrnl", "inlcr"};
constexpr int ItemBits[MapItemCount] = {MapCrLf, MapInCrNl, MapInNlCr};

}  // namespace

const char *MapItemName(int i)
{
    return i >= 0 && i < MapItemCount ? ItemNames[i] : "";
}

int MapItemBit(int i)
{
    return i >= 0 && i < MapItemCount ? ItemBits[i] : 0;
}

int ParseMapList(const char *list, int *flags)
{
    int result = 0;
    const char *p = list;
    for (;;) {
        const char *end = std::strchr(p, ',');
        std::size_t len = end != nullptr ? static_cast<std::size_t>(end - p) : std::strlen(p);
        int bit = 0;
        for (int i = 0; i < MapItemCount; ++i) {
            if (std::strlen(ItemNames[i]) == len && std::strncmp(p, ItemNames[i], len) == 0)
                bit = ItemBits[i];
        }
        if (bit == 0)
            return -1;
        result |= bit;
        if (end == nullptr)
            break;
        p = end + 1;
    }
    *flags = result;
    return 0;
}

void SendTypedByte(unsigned char byte)
{
    static const unsigned char crlf[] = {'\r', '\n'};
    bool both = byte == '\r' && (MapFlags & MapCrLf) != 0;
    if (both)
        ComWrite(CurrentPort, crlf, 2);
    else
        ComWrite(CurrentPort, &byte, 1);
    if (LocalEcho) {
        // A typed CR alone returns to the line start, as the controller's
        // own echo of it would; with crlf the echo ends the line.
        char shown[3] = {static_cast<char>(byte), 0, 0};
        if (both)
            shown[1] = '\n';
        ConWriteText(shown);
        std::fflush(stdout);
    }
}

bool MapReceived(unsigned char *buf, int n)
{
    int flags = MapFlags.load() & (MapInCrNl | MapInNlCr);
    if (flags == 0)
        return false;
    for (int i = 0; i < n; ++i) {
        if (buf[i] == '\r' && (flags & MapInCrNl) != 0)
            buf[i] = '\n';
        else if (buf[i] == '\n' && (flags & MapInNlCr) != 0)
            buf[i] = '\r';
    }
    return true;
}

void ShowModes()
{
    char items[32] = "";
    int flags = MapFlags;
    for (int i = 0; i < MapItemCount; ++i) {
        if ((flags & ItemBits[i]) != 0)
            std::snprintf(items + std::strlen(items), sizeof items - std::strlen(items), "%s%s",
                          items[0] != 0 ? "," : "", ItemNames[i]);
    }
    std::printf("\n\rModes: hex %s, echo %s, map %s\n\r", HexMode ? "ON" : "OFF", LocalEcho ? "ON" : "OFF",
                items[0] != 0 ? items : "none");
}
