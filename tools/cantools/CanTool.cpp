// Frame syntax and output format of the CAN tools.
#include "CanTool.h"
#include "Ocelo.h"

#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

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

bool ParseHex(const std::string &text, unsigned long &out)
{
    std::string t = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') ? text.substr(2) : text;
    if (t.empty() || t.size() > 8)
        return false;
    unsigned long v = 0;
    for (char c : t) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        v = v * 16 + static_cast<unsigned long>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    out = v;
    return true;
}

bool ErrorFrameFor(unsigned char prev, unsigned char now, bool overflow, unsigned char bufstat, FrameSpec &out)
{
    out = FrameSpec{};
    out.ext = 1;
    out.len = 8;
    unsigned long cls = 0;
    if (overflow) {
        cls |= kErrCrtl;
        out.data[1] |= kCrtlRxOverflow;
    } else {
        const unsigned char changed = static_cast<unsigned char>(prev ^ now);
        if (!(changed & (kCanStatBusOff | kCanStatWarning)))
            return false;
        if (now & kCanStatBusOff) {
            cls |= kErrBusOff;
        } else if (now & kCanStatWarning) {
            cls |= kErrCrtl;
            out.data[1] |= kCrtlRxWarning | kCrtlTxWarning;
        } else {
            cls |= kErrCrtl;
            out.data[1] |= kCrtlActive;  // back to error active
            if (prev & kCanStatBusOff)
                cls |= kErrRestarted;
        }
    }
    out.data[5] = now;
    out.data[6] = bufstat;
    out.id = kErrFlag | kErrBusError | cls;
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

std::string FrameText(const FrameSpec &f)
{
    char buf[40];
    int n = std::snprintf(buf, sizeof buf, "%0*lX#", f.ext ? 8 : 3, f.id);
    if (f.rtr) {
        buf[n++] = 'R';
        if (f.len)
            buf[n++] = static_cast<char>('0' + (f.len > 8 ? 8 : f.len));
    } else {
        for (int i = 0; i < f.len && i < 8; ++i)
            n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%02X", f.data[i]);
    }
    return std::string(buf, static_cast<size_t>(n));
}

namespace {
std::vector<std::string> Words(const std::string &line)
{
    std::vector<std::string> w;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        size_t b = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i > b)
            w.push_back(line.substr(b, i - b));
    }
    return w;
}

// "(<seconds>.<fraction>)" in microseconds.
bool ParseStamp(const std::string &w, int64_t &micros)
{
    if (w.size() < 4 || w.front() != '(' || w.back() != ')')
        return false;
    size_t dot = w.find('.');
    if (dot == std::string::npos || dot == 1 || dot + 2 > w.size() - 1)
        return false;
    int64_t sec = 0, frac = 0;
    for (size_t i = 1; i < dot; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(w[i])) || sec > 100000000000ll)
            return false;
        sec = sec * 10 + (w[i] - '0');
    }
    size_t digits = 0;
    for (size_t i = dot + 1; i < w.size() - 1; ++i, ++digits) {
        if (!std::isdigit(static_cast<unsigned char>(w[i])) || digits >= 9)
            return false;
        if (digits < 6)
            frac = frac * 10 + (w[i] - '0');
    }
    for (; digits < 6; ++digits)
        frac *= 10;
    micros = sec * 1000000 + frac;
    return true;
}
} // namespace

namespace {
bool HexText(const std::string &t)
{
    for (char c : t)
        if (HexDigit(c) < 0)
            return false;
    return !t.empty();
}

// "<id>##<flags><data>": an identifier as for a classic frame, one hex digit
// of flags, up to 64 data bytes as hex pairs ('.' may separate them).
std::string CheckFdFrame(const std::string &text)
{
    size_t hash = text.find("##");
    std::string id = text.substr(0, hash), rest = text.substr(hash + 2);
    FrameSpec probe;
    std::string err = ParseFrame(id + "#", probe);
    if (!err.empty())
        return err;
    if (rest.empty() || HexDigit(rest[0]) < 0)
        return "CAN FD frame needs a flags digit after \"##\"";
    size_t bytes = 0;
    for (size_t i = 1; i < rest.size();) {
        if (rest[i] == '.') {
            ++i;
            continue;
        }
        if (i + 1 >= rest.size() || HexDigit(rest[i]) < 0 || HexDigit(rest[i + 1]) < 0)
            return "CAN FD data must be hex byte pairs";
        if (++bytes > 64)
            return "more than 64 CAN FD data bytes";
        i += 2;
    }
    return "";
}

// The kind of a frame text: a classic frame, CAN FD, or an error frame.
std::string ClassifyFrame(const std::string &text, InputLine &out)
{
    if (text.find("##") != std::string::npos) {
        std::string err = CheckFdFrame(text);
        if (err.empty())
            out.kind = LineKind::CanFd;
        return err;
    }
    size_t hash = text.find('#');
    std::string id = text.substr(0, hash == std::string::npos ? text.size() : hash);
    if (id.size() == 8 && HexText(id)) {
        unsigned long v = std::strtoul(id.c_str(), nullptr, 16);
        if ((v & kErrFlag) && v <= 0x3FFFFFFFul) {
            char masked[16];
            std::snprintf(masked, sizeof masked, "%08lX", v & 0x1FFFFFFFul);
            FrameSpec probe;
            std::string err = ParseFrame(masked + text.substr(8), probe);
            if (err.empty())
                out.kind = LineKind::ErrorFrame;
            return err;
        }
    }
    std::string err = ParseFrame(text, out.frame);
    if (err.empty())
        out.kind = LineKind::Frame;
    return err;
}
} // namespace

std::string ReadInputLine(const std::string &line, InputLine &out)
{
    out = InputLine{};
    std::vector<std::string> w = Words(line);
    if (w.empty() || w[0][0] == '#')
        return "";
    if (w[0][0] != '(') {
        if (w.size() != 1)
            return "expected one frame, or a log line \"(seconds.micros) interface frame\"";
        return ClassifyFrame(w[0], out);
    }
    // Words after the frame (direction marks of some logs) are ignored.
    if (w.size() < 3 || !ParseStamp(w[0], out.micros))
        return "log line must be \"(seconds.micros) interface frame\"";
    out.has_time = true;
    out.iface = w[1];
    std::string err = ClassifyFrame(w[2], out);
    if (!err.empty())
        out.kind = LineKind::Empty;
    return err;
}

std::string FormatStamp(char mode, int64_t now, int64_t first, int64_t prev)
{
    int64_t t = mode == 'a' ? now : mode == 'd' ? now - prev : mode == 'z' ? now - first : -1;
    if (t < 0 && (mode == 'd' || mode == 'z'))
        t = 0;  // the host clock was set back
    if (t < 0)
        return "";
    char buf[48];
    std::snprintf(buf, sizeof buf, mode == 'a' ? "(%010lld.%06lld) " : "(%03lld.%06lld) ",
                  static_cast<long long>(t / 1000000), static_cast<long long>(t % 1000000));
    return buf;
}

std::string ParseFilter(const std::string &text, Filter &out)
{
    out = Filter{};
    size_t sep = text.find_first_of(":~");
    if (sep == std::string::npos)
        return "filter must be <id>:<mask> or <id>~<mask>";
    std::string id = text.substr(0, sep), mask = text.substr(sep + 1);
    uint32_t v[2] = {0, 0};
    const std::string *parts[2] = {&id, &mask};
    for (int p = 0; p < 2; ++p) {
        if (parts[p]->empty() || parts[p]->size() > 8)
            return "filter identifier and mask need 1 to 8 hex digits";
        for (char c : *parts[p]) {
            int d = HexDigit(c);
            if (d < 0)
                return "filter is not hexadecimal";
            v[p] = v[p] * 16 + static_cast<uint32_t>(d);
        }
    }
    out.id = v[0] | (id.size() == 8 ? kExtFlag : 0);
    out.mask = v[1] & ~0x20000000u;  // bit 29 is no frame property: never compared
    out.inverted = text[sep] == '~';
    return "";
}

bool FilterPass(const std::vector<Filter> &filters, const FrameSpec &f, bool join)
{
    uint32_t id = static_cast<uint32_t>(f.id) | (f.ext ? kExtFlag : 0) | (f.rtr ? kRtrFlag : 0);
    for (const Filter &flt : filters) {
        const bool pass = (((id ^ flt.id) & flt.mask) == 0) != flt.inverted;
        if (pass != join)
            return pass;
    }
    return filters.empty() || join;
}

// The board compares one 32-bit acceptance word per frame: extended frames
// put identifier bits 28..0 in word bits 31..3 and the remote flag in bit 2;
// standard frames identifier bits 10..0 in bits 31..21, the remote flag in
// bit 20 and the first two data bytes in bits 15..0.  For each kind of frame
// (standard or extended, data or remote) that a filter can pass, the word
// bits the filter fixes are known; the board gets the bits known alike for
// every kind that some filter passes.  Data bytes are never known.
BoardFilter BoardFilterFor(const std::vector<Filter> &filters)
{
    BoardFilter bf;
    bool any = false;
    uint32_t known = 0, value = 0;
    for (const Filter &flt : filters) {
        for (int ext = 0; ext < 2; ++ext) {
            for (int rtr = 0; rtr < 2; ++rtr) {
                const uint32_t flags = (ext ? kExtFlag : 0) | (rtr ? kRtrFlag : 0);
                const uint32_t idBits = ext ? 0x1FFFFFFFu : 0x7FFu;
                const int shift = ext ? 3 : 21;
                const uint32_t rtrBit = ext ? 0x4u : 0x100000u;
                // Flags, or identifier bits this kind never has, that the
                // filter fixes to other values than this kind of frame has.
                bool differs = ((flags ^ flt.id) & flt.mask & (kExtFlag | kRtrFlag)) != 0 ||
                               (flt.id & flt.mask & 0x1FFFFFFFu & ~idBits) != 0;
                uint32_t compared = flt.mask & idBits;
                uint32_t k = rtrBit, v = rtr ? rtrBit : 0;
                if (!flt.inverted) {
                    if (differs)
                        continue;  // passes no frame of this kind
                    k |= compared << shift;
                    v |= (flt.id & compared) << shift;
                } else if (!differs && compared == 0) {
                    continue;  // the masked bits never differ
                }
                if (!any) {
                    known = k;
                    value = v;
                    any = true;
                } else {
                    known &= k & ~(value ^ v);
                    value &= known;
                }
            }
        }
    }
    if (any) {
        bf.code = value & known;
        bf.mask = ~known & 0xFFFFFFFFu;
    }
    return bf;
}

namespace {
const unsigned long kTableRates[12] = {5000,   10000,  20000,  25000,  50000,  100000,
                                       125000, 200000, 250000, 500000, 800000, 1000000};
}

bool TableBitRate(unsigned long baud)
{
    for (unsigned long r : kTableRates)
        if (r == baud)
            return true;
    return false;
}

const char *TableBitRates()
{
    return "5000, 10000, 20000, 25000, 50000, 100000, 125000, 200000, 250000, 500000, 800000, 1000000";
}

int InitBoard(unsigned char slot, unsigned long baud, unsigned char bt0, unsigned char bt1, unsigned long code,
              unsigned long mask)
{
    // A board slow to answer its reset (or a simulated one on a busy
    // machine) gets three tries, and more until two seconds have passed,
    // as the python interface gives it.
    const auto start = std::chrono::steady_clock::now();
    int rc = OCELO_ERR_BOARD;
    for (int tries = 1;; ++tries) {
        rc = OceloInit(slot, baud, bt0, bt1, code, mask);
        if (rc != OCELO_ERR_BOARD || (tries >= 3 && std::chrono::steady_clock::now() - start >= std::chrono::seconds(2)))
            return rc;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

} // namespace cantool
