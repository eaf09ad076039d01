// I/O modules on the simulated line, a line echo for pattern tests, and a
// sender of transfer blocks for the terminal's packet monitor.
//
// Bus mode (--bus, or any --module / --echo-lines): the line is a module
// bus instead of the controller's shell.  Bytes are gathered into lines
// ended by CR; nothing is echoed and no prompt is shown.  A line "$AAM"
// (AA two hex digits) is answered by the module at address AA, but only
// while the bit rate that the terminal set on the line equals the module's
// rate, so that a scan over rates finds each module at its own rate.  In
// echo mode every other line is sent back exactly, CR included, and the
// fault option alters one byte of every n-th line echoed.
//
// Block sender (--blocks): a list of 260-byte transfer blocks, correct or
// corrupted, and raw fills, sent in writes of chosen sizes.  SIGUSR1 sends
// the next write at once; the shell command "blocks" sends them all, one
// every --block-step ms.
#include "sim.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Module {
    int addr;
    unsigned rate;
    std::string reply;  // text between "!AA" and the CR
};

std::vector<Module> Modules;
bool BusMode = false;
bool EchoLines = false;
int EchoFaultEvery = 0;  // 0 = no fault
int EchoFaultAt = 4;
unsigned long EchoedLines = 0;

constexpr std::size_t BusLineMax = 512;
unsigned char BusLine[BusLineMax];
std::size_t BusLineLen = 0;

// ---- Block sender ----------------------------------------------------------

constexpr int BlockSize = 260;
std::vector<unsigned char> BlockStream;
std::vector<std::size_t> ItemSizes;      // one per --blocks item
std::vector<std::size_t> WriteSizes;     // as given by --block-writes
std::vector<std::size_t> WritePlan;      // the stream cut into writes
std::size_t NextWrite = 0;               // index into WritePlan
std::size_t StreamOffset = 0;
int BlockStepMs = 1000;
std::uint64_t NextTimedWrite = 0;        // 0 = no timed sending
std::atomic<int> SignalledWrites{0};

void OnUser1(int)
{
    SignalledWrites.fetch_add(1);
    SimWake();
}

unsigned Crc16(const unsigned char *p, std::size_t n)
{
    unsigned c = 0;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= static_cast<unsigned>(p[i]) << 8;
        for (int b = 0; b < 8; ++b)
            c = (c & 0x8000) ? ((c << 1) ^ 0x1021) : (c << 1);
        c &= 0xFFFF;
    }
    return c;
}

// One data block with `count` meaningful bytes; `corrupt` alters a byte
// after the CRC has been computed.
void AddBlock(int count, bool corrupt)
{
    unsigned char b[BlockSize] = {};
    b[0] = static_cast<unsigned char>(count & 0xFF);
    b[1] = static_cast<unsigned char>((count >> 8) & 0xFF);
    int n = count < 256 ? count : 256;
    int serial = static_cast<int>(BlockStream.size() / BlockSize);
    for (int i = 0; i < n; ++i)
        b[2 + i] = static_cast<unsigned char>((i + serial * 7) & 0xFF);
    unsigned crc = Crc16(b, 258);
    b[258] = static_cast<unsigned char>(crc >> 8);
    b[259] = static_cast<unsigned char>(crc & 0xFF);
    if (corrupt)
        b[2] ^= 0x5A;
    BlockStream.insert(BlockStream.end(), b, b + BlockSize);
}

bool ParseBlocks(const char *optionText)
{
    std::string s = optionText;
    std::size_t pos = 0;
    while (pos <= s.size()) {
        std::size_t comma = s.find(',', pos);
        std::string item = s.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        std::size_t before = BlockStream.size();
        int a = 0;
        unsigned v = 0;
        char extra = 0;
        if (std::sscanf(item.c_str(), "ok:%d%c", &a, &extra) == 1 && a >= 0 && a <= 65535) {
            AddBlock(a, false);
        } else if (std::sscanf(item.c_str(), "bad:%d%c", &a, &extra) == 1 && a >= 0 && a <= 65535) {
            AddBlock(a, true);
        } else if (std::sscanf(item.c_str(), "fill:%d:%x%c", &a, &v, &extra) == 2 && a > 0 && a <= 65536 &&
                   v <= 0xFF) {
            BlockStream.insert(BlockStream.end(), static_cast<std::size_t>(a), static_cast<unsigned char>(v));
        } else {
            std::fprintf(stderr, "quarnix-sim: bad --blocks item \"%s\"\n", item.c_str());
            return false;
        }
        ItemSizes.push_back(BlockStream.size() - before);
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return true;
}

bool ParseSizes(const char *optionText, std::vector<std::size_t> *out)
{
    const char *p = optionText;
    while (*p) {
        char *end = nullptr;
        long v = std::strtol(p, &end, 10);
        if (end == p || v <= 0 || v > 65536)
            return false;
        out->push_back(static_cast<std::size_t>(v));
        p = end;
        if (*p == ',')
            ++p;
        else if (*p)
            return false;
    }
    return !out->empty();
}

void PlanWrites()
{
    WritePlan.clear();
    std::size_t left = BlockStream.size();
    // Without --block-writes every item is a write of its own.
    const std::vector<std::size_t> &sizes = WriteSizes.empty() ? ItemSizes : WriteSizes;
    for (std::size_t s : sizes) {
        if (left == 0)
            break;
        std::size_t n = s < left ? s : left;
        WritePlan.push_back(n);
        left -= n;
    }
    if (left > 0)
        WritePlan.push_back(left);  // the rest in one write
}

// Sends the next planned write; false when none is left.
bool SendNextWrite()
{
    if (WritePlan.empty() && !BlockStream.empty())
        PlanWrites();
    if (NextWrite >= WritePlan.size())
        return false;
    std::size_t n = WritePlan[NextWrite++];
    SimSend(BlockStream.data() + StreamOffset, n);
    StreamOffset += n;
    if (NextWrite >= WritePlan.size()) {
        // All sent: the next trigger starts over.
        NextWrite = 0;
        StreamOffset = 0;
        return false;
    }
    return true;
}

// ---- Bus -------------------------------------------------------------------

int HexValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The address of a "$AAM" line, or -1.
int ModuleAddress(const unsigned char *line, std::size_t len)
{
    if (len != 4 || line[0] != '$' || (line[3] != 'M' && line[3] != 'm'))
        return -1;
    int hi = HexValue(line[1]), lo = HexValue(line[2]);
    if (hi < 0 || lo < 0)
        return -1;
    return hi * 16 + lo;
}

void BusLineDone()
{
    int addr = ModuleAddress(BusLine, BusLineLen);
    if (addr >= 0) {
        unsigned rate = SimLineRate();
        for (const Module &m : Modules) {
            if (m.addr == addr && m.rate == rate) {
                SimPrintf("!%02X%s\r", m.addr, m.reply.c_str());
                return;
            }
        }
    }
    if (!EchoLines)
        return;
    unsigned char out[BusLineMax + 1];
    std::memcpy(out, BusLine, BusLineLen);
    out[BusLineLen] = '\r';
    ++EchoedLines;
    if (EchoFaultEvery > 0 && EchoedLines % static_cast<unsigned long>(EchoFaultEvery) == 0 && BusLineLen > 0) {
        std::size_t at = static_cast<std::size_t>(EchoFaultAt);
        if (at >= BusLineLen)
            at = BusLineLen - 1;
        out[at] ^= 0x01;
    }
    SimSend(out, BusLineLen + 1);
}

void BusInput(const unsigned char *data, std::size_t len)
{
    for (std::size_t i = 0; i < len; ++i) {
        if (data[i] == '\r') {
            BusLineDone();
            BusLineLen = 0;
        } else if (BusLineLen < BusLineMax) {
            BusLine[BusLineLen++] = data[i];  // longer lines lose their tail
        }
    }
}

void EnterBusMode()
{
    BusMode = true;
    SimRawInput = BusInput;
}

bool ParseModule(const char *optionText)
{
    unsigned addr = 0, rate = 0;
    int used = 0;
    if (std::sscanf(optionText, "%2x:%u%n", &addr, &rate, &used) != 2 || rate == 0)
        return false;
    Module m{static_cast<int>(addr), rate, "QIO"};
    if (optionText[used] == ':')
        m.reply = optionText + used + 1;
    else if (optionText[used] != 0)
        return false;
    for (char c : m.reply)
        if (c == '\r' || c == 0)
            return false;
    Modules.push_back(m);
    return true;
}

}  // namespace

int ModulesOption(const char *name, const char *value, int *usedValue)
{
    std::string n = name;
    auto need = [&](bool ok) {
        if (!ok) {
            std::fprintf(stderr, "quarnix-sim: bad value for --%s\n", name);
            std::exit(2);
        }
        *usedValue = 1;
        return 1;
    };
    if (n == "bus") {
        EnterBusMode();
        return 1;
    }
    if (n == "echo-lines") {
        EchoLines = true;
        EnterBusMode();
        return 1;
    }
    if (n == "module") {
        need(value != nullptr && ParseModule(value));
        EnterBusMode();
        return 1;
    }
    if (n == "echo-fault") {
        need(value != nullptr && (EchoFaultEvery = std::atoi(value)) > 0);
        return 1;
    }
    if (n == "echo-fault-at") {
        need(value != nullptr && (EchoFaultAt = std::atoi(value)) >= 0);
        return 1;
    }
    if (n == "blocks") {
        need(value != nullptr && ParseBlocks(value));
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = OnUser1;
        sigaction(SIGUSR1, &sa, nullptr);
        return 1;
    }
    if (n == "block-writes") {
        need(value != nullptr && ParseSizes(value, &WriteSizes));
        return 1;
    }
    if (n == "block-step") {
        need(value != nullptr && (BlockStepMs = std::atoi(value)) > 0);
        return 1;
    }
    return 0;
}

int ModulesCommand(int argc, char **argv, const char *)
{
    if (argc < 1 || std::strcmp(argv[0], "blocks") != 0 || BlockStream.empty())
        return 0;
    PlanWrites();
    NextWrite = 0;
    StreamOffset = 0;
    SimPrintf("\r\nblocks: %zu bytes in %zu writes, the first in %d ms", BlockStream.size(), WritePlan.size(),
              BlockStepMs);
    SimPrompt();
    NextTimedWrite = SimNowMs() + static_cast<std::uint64_t>(BlockStepMs);
    return 1;
}

int ModulesTick()
{
    while (SignalledWrites.load() > 0) {
        SignalledWrites.fetch_sub(1);
        SendNextWrite();
    }
    if (NextTimedWrite != 0 && SimNowMs() >= NextTimedWrite) {
        if (SendNextWrite())
            NextTimedWrite = SimNowMs() + static_cast<std::uint64_t>(BlockStepMs);
        else
            NextTimedWrite = 0;
    }
    if (NextTimedWrite == 0)
        return -1;
    std::uint64_t now = SimNowMs();
    return NextTimedWrite > now ? static_cast<int>(NextTimedWrite - now) : 0;
}

void ModulesUsage()
{
    std::printf(
        "Module bus (the line then carries no shell: no echo, no prompt; add\n"
        "--quiet):\n"
        "  --bus              make the line a silent module bus\n"
        "  --module AA:RATE[:TEXT]\n"
        "                     a module at hex address AA that answers \"$AAM\"\n"
        "                     CR with \"!AA\" TEXT CR (TEXT defaults to QIO),\n"
        "                     only while the terminal has set the line to\n"
        "                     RATE bit/s; may be given many times\n"
        "  --echo-lines       send back exactly, CR included, every line no\n"
        "                     module answers\n"
        "  --echo-fault N     alter one byte (lowest bit flipped) of every N-th\n"
        "                     line echoed\n"
        "  --echo-fault-at P  the byte altered: offset P from 0 (default 4),\n"
        "                     or the last before CR in a shorter line\n"
        "Transfer blocks for the packet monitor:\n"
        "  --blocks LIST      what to send, items separated by commas: ok:N a\n"
        "                     correct 260-byte block with count N; bad:N the\n"
        "                     same with a data byte altered after the CRC;\n"
        "                     fill:N:HH N bytes of hex value HH\n"
        "  --block-writes LIST\n"
        "                     sizes of the successive writes (the rest in one\n"
        "                     write); by default each item of --blocks is a\n"
        "                     write of its own\n"
        "  --block-step MS    pause between writes after the shell command\n"
        "                     \"blocks\" (default 1000; the first write follows\n"
        "                     after the same pause)\n"
        "  SIGUSR1            sends the next write at once (after the last,\n"
        "                     starts over)\n"
        "Shell command with --blocks: blocks\n");
}
