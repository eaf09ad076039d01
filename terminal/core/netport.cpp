#include "netport.h"

#include <cstring>

namespace {

bool StartsWith(const char *text, const char *prefix, std::size_t *len)
{
    *len = std::strlen(prefix);
    return std::strncmp(text, prefix, *len) == 0;
}

// Telnet decoder positions.
enum {
    InData = 0,
    InIac,
    InVerb,
    InSub,
    InSubIac,
};

bool WeSupport(unsigned char opt)
{
    return opt == TnOptComPort || opt == TnOptBinary || opt == TnOptSga;
}

bool HeSupports(unsigned char opt)
{
    return opt == TnOptBinary || opt == TnOptSga;
}

void Put3(unsigned char *reply, int *len, unsigned char verb, unsigned char opt)
{
    reply[(*len)++] = TnIac;
    reply[(*len)++] = verb;
    reply[(*len)++] = opt;
}

// One WILL, WONT, DO or DONT from the server, answered as RFC 1143 asks:
// a request for a state already in force, or the answer to our own offer,
// gets no reply, so negotiation never loops.
void Negotiate(TelnetState *t, unsigned char verb, unsigned char opt, unsigned char *reply, int *len)
{
    switch (verb) {
    case TnDo:
        if (opt == TnOptComPort)
            t->comPortAnswered = true;
        if (!WeSupport(opt)) {
            Put3(reply, len, TnWont, opt);
        } else if (!t->us[opt]) {
            t->us[opt] = true;
            if (!t->usAsked[opt])
                Put3(reply, len, TnWill, opt);
        }
        t->usAsked[opt] = false;
        break;
    case TnDont:
        if (opt == TnOptComPort)
            t->comPortAnswered = true;
        if (t->us[opt] && !t->usAsked[opt])
            Put3(reply, len, TnWont, opt);
        t->us[opt] = false;
        t->usAsked[opt] = false;
        break;
    case TnWill:
        if (!HeSupports(opt)) {
            Put3(reply, len, TnDont, opt);
        } else if (!t->him[opt]) {
            t->him[opt] = true;
            if (!t->himAsked[opt])
                Put3(reply, len, TnDo, opt);
        }
        t->himAsked[opt] = false;
        break;
    case TnWont:
        if (t->him[opt] && !t->himAsked[opt])
            Put3(reply, len, TnDont, opt);
        t->him[opt] = false;
        t->himAsked[opt] = false;
        break;
    default:
        break;
    }
}

// A complete subnegotiation; returns true when the modem state changed.
bool SubDone(TelnetState *t)
{
    if (t->subOverflow || t->subLen < 2 || t->sub[0] != TnOptComPort)
        return false;
    int code = t->sub[1];
    const unsigned char *v = t->sub + 2;
    int len = t->subLen - 2;
    if (code == CpServerOffset + CpSetBaudRate && len == 4) {
        t->baudReply = static_cast<long>((static_cast<std::uint32_t>(v[0]) << 24) |
                                         (static_cast<std::uint32_t>(v[1]) << 16) |
                                         (static_cast<std::uint32_t>(v[2]) << 8) | v[3]);
        ++t->baudReplies;
    } else if (code == CpServerOffset + CpNotifyModemState && len == 1) {
        bool changed = t->modemState != v[0];
        t->modemState = v[0];
        return changed;
    }
    return false;
}

}  // namespace

int NetParseAddress(const char *text, NetAddress *out)
{
    const char *sep = std::strstr(text, "://");
    if (sep == nullptr)
        return NetNotAddress;
    std::size_t len = 0;
    int kind = 0;
    if (StartsWith(text, "rfc2217://", &len))
        kind = NetRfc2217;
    else if (StartsWith(text, "tcp://", &len))
        kind = NetRawTcp;
    else
        return NetBadAddress;
    const char *host = text + len;
    const char *hostEnd = nullptr;
    const char *rest = nullptr;
    if (host[0] == '[') {
        // [v6 address]:port
        ++host;
        hostEnd = std::strchr(host, ']');
        if (hostEnd == nullptr || hostEnd[1] != ':')
            return NetBadAddress;
        rest = hostEnd + 2;
    } else {
        hostEnd = std::strrchr(host, ':');
        if (hostEnd == nullptr)
            return NetBadAddress;
        rest = hostEnd + 1;
        if (std::memchr(host, ':', static_cast<std::size_t>(hostEnd - host)) != nullptr)
            return NetBadAddress;  // an IPv6 address needs its brackets
    }
    std::size_t hostLen = static_cast<std::size_t>(hostEnd - host);
    if (hostLen == 0 || hostLen >= NetHostSize)
        return NetBadAddress;
    for (std::size_t i = 0; i < hostLen; ++i) {
        unsigned char c = static_cast<unsigned char>(host[i]);
        if (c <= 0x20 || c == 0x7F || c == '/' || c == '@')
            return NetBadAddress;
    }
    long port = 0;
    int digits = 0;
    for (const char *p = rest; *p != 0; ++p) {
        if (*p < '0' || *p > '9' || digits >= 6)
            return NetBadAddress;
        port = port * 10 + (*p - '0');
        ++digits;
    }
    if (digits == 0 || port < 1 || port > 65535)
        return NetBadAddress;
    out->kind = kind;
    std::memcpy(out->host, host, hostLen);
    out->host[hostLen] = 0;
    out->port = static_cast<int>(port);
    return 0;
}

void TelnetReset(TelnetState *t)
{
    std::memset(t, 0, sizeof *t);
    t->state = InData;
    t->modemState = -1;
    t->baudReply = -1;
}

int TelnetOffers(TelnetState *t, unsigned char *out)
{
    int len = 0;
    const unsigned char ours[] = {TnOptComPort, TnOptBinary, TnOptSga};
    for (unsigned char opt : ours) {
        Put3(out, &len, TnWill, opt);
        t->usAsked[opt] = true;
    }
    const unsigned char his[] = {TnOptBinary, TnOptSga};
    for (unsigned char opt : his) {
        Put3(out, &len, TnDo, opt);
        t->himAsked[opt] = true;
    }
    return len;
}

bool TelnetDecode(TelnetState *t, const unsigned char *in, int n, unsigned char *data, int *dataLen,
                  unsigned char *reply, int *replyLen)
{
    int d = 0;
    int r = 0;
    bool modem = false;
    for (int i = 0; i < n; ++i) {
        unsigned char c = in[i];
        switch (t->state) {
        case InData:
            if (c == TnIac)
                t->state = InIac;
            else
                data[d++] = c;
            break;
        case InIac:
            if (c == TnIac) {
                data[d++] = c;
                t->state = InData;
            } else if (c == TnWill || c == TnWont || c == TnDo || c == TnDont) {
                t->verb = c;
                t->state = InVerb;
            } else if (c == TnSb) {
                t->subLen = 0;
                t->subOverflow = false;
                t->state = InSub;
            } else {
                t->state = InData;  // NOP, GA and the other one-byte commands
            }
            break;
        case InVerb:
            Negotiate(t, t->verb, c, reply, &r);
            t->state = InData;
            break;
        case InSub:
        case InSubIac:
            if (t->state == InSub && c == TnIac) {
                t->state = InSubIac;
                break;
            }
            if (t->state == InSubIac && c != TnIac) {
                // IAC SE ends it; any other command ends a broken one.
                if (c == TnSe && SubDone(t))
                    modem = true;
                t->state = InData;
                break;
            }
            if (t->subLen < TnSubSize)
                t->sub[t->subLen++] = c;
            else
                t->subOverflow = true;
            t->state = InSub;
            break;
        default:
            t->state = InData;
            break;
        }
    }
    *dataLen = d;
    *replyLen = r;
    return modem;
}

int TelnetEscape(const unsigned char *in, int n, unsigned char *out, int room, int *used)
{
    int o = 0;
    int i = 0;
    for (; i < n; ++i) {
        int need = in[i] == TnIac ? 2 : 1;
        if (o + need > room)
            break;
        out[o++] = in[i];
        if (in[i] == TnIac)
            out[o++] = TnIac;
    }
    *used = i;
    return o;
}

int TelnetComPortCommand(int command, const unsigned char *value, int len, unsigned char *out)
{
    int o = 0;
    out[o++] = TnIac;
    out[o++] = TnSb;
    out[o++] = TnOptComPort;
    out[o++] = static_cast<unsigned char>(command);
    for (int i = 0; i < len; ++i) {
        out[o++] = value[i];
        if (value[i] == TnIac)
            out[o++] = TnIac;
    }
    out[o++] = TnIac;
    out[o++] = TnSe;
    return o;
}

int TelnetComPortCommand32(int command, std::uint32_t value, unsigned char *out)
{
    const unsigned char v[4] = {static_cast<unsigned char>(value >> 24), static_cast<unsigned char>(value >> 16),
                                static_cast<unsigned char>(value >> 8), static_cast<unsigned char>(value)};
    return TelnetComPortCommand(command, v, 4, out);
}

int TelnetParityValue(int parityIndex)
{
    switch (parityIndex) {
    case 0: return 1;  // none
    case 1: return 3;  // even
    case 2: return 2;  // odd
    case 3: return 4;  // mark
    case 4: return 5;  // space
    default: return 0;
    }
}

int TelnetStopValue(int stopBits)
{
    return stopBits == 1 ? 1 : stopBits == 2 ? 2 : 0;
}
