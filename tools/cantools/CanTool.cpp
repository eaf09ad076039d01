// Frame syntax and output format of the CAN tools.
#include "CanTool.h"
#include "Ocelo.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace cantool {

namespace {
int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}
} // namespace

std::string ParseFrame(const std::string &text, FrameSpec &out)
{
    out = FrameSpec{};
    size_t hash = text.find('#');
    if (hash == std::string::npos)
        return "missing '#' between identifier and data";
    std::string id = text.substr(0, hash), rest = text.substr(hash + 1);
    if (id.empty() || (id.size() > 3 && id.size() != 8))
        return "identifier must have 1 to 3 hex digits (standard) or 8 (extended)";
    unsigned long v = 0;
    for (char c : id) {
        int d = HexDigit(c);
        if (d < 0)
            return "identifier is not hexadecimal";
        v = v * 16 + static_cast<unsigned long>(d);
    }
    out.ext = id.size() == 8;
    if (v > (out.ext ? 0x1FFFFFFFul : 0x7FFul))
        return out.ext ? "extended identifier above 1FFFFFFF" : "standard identifier above 7FF";
    out.id = v;
    if (!rest.empty() && (rest[0] == 'R' || rest[0] == 'r')) {
        out.rtr = 1;
        std::string len = rest.substr(1);
        if (len.empty())
            return "";
        if (len.size() != 1 || len[0] < '0' || len[0] > '8')
            return "remote frame length must be one digit 0 to 8";
        out.len = static_cast<unsigned char>(len[0] - '0');
        return "";
    }
    size_t i = 0;
    while (i < rest.size()) {
        if (rest[i] == '.') {
            ++i;
            continue;
        }
        if (out.len == 8)
            return "more than 8 data bytes";
        if (i + 1 >= rest.size())
            return "data bytes need two hex digits each";
        int hi = HexDigit(rest[i]), lo = HexDigit(rest[i + 1]);
        if (hi < 0 || lo < 0)
            return "data is not hexadecimal";
        out.data[out.len++] = static_cast<unsigned char>(hi * 16 + lo);
        i += 2;
    }
    return "";
}

bool ParseNumber(const std::string &text, unsigned long max, unsigned long &out)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno || !end || *end || v > max)
        return false;
    out = static_cast<unsigned long>(v);
    return true;
}

std::string FormatFrame(int slot, const FrameSpec &f, unsigned long upper, unsigned long lower)
{
    char buf[160];
    int n = std::snprintf(buf, sizeof buf, "slot%d  %*s%0*lX  [%u] ", slot, f.ext ? 0 : 5, "", f.ext ? 8 : 3,
                          f.id, f.len);
    std::string s(buf, static_cast<size_t>(n));
    if (f.rtr) {
        s += " remote request";
    } else {
        for (int i = 0; i < f.len && i < 8; ++i) {
            std::snprintf(buf, sizeof buf, " %02X", f.data[i]);
            s += buf;
        }
    }
    std::snprintf(buf, sizeof buf, "  time %08lX:%08lX", upper & 0xFFFFFFFFul, lower & 0xFFFFFFFFul);
    s += buf;
    return s;
}

int InitBoard(unsigned char slot, unsigned long baud, unsigned char bt0, unsigned char bt1, unsigned long code,
              unsigned long mask)
{
    int rc = OCELO_ERR_BOARD;
    for (int attempt = 0; attempt < 3 && rc == OCELO_ERR_BOARD; ++attempt)
        rc = OceloInit(slot, baud, bt0, bt1, code, mask);
    return rc;
}

} // namespace cantool
