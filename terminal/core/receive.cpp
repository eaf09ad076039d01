#include "receive.h"

#include "ansi.h"
#include "console.h"
#include "display.h"
#include "globals.h"
#include "serial.h"
#include "timestamp.h"
#include "typing.h"
#include "../transfer/transfer.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

// A reply completes only a test that waits for one (state 2): a stray byte
// must not cancel a send that is due (1) or a test still being set up.
void CompleteReply(std::atomic<int> &state)
{
    int waiting = 2;
    state.compare_exchange_strong(waiting, 3);
}

void ShowLineModeByte(unsigned char c)
{
    ConWriteReceived(&c, 1);
    if (ReplyLength != 0) {
        if (RepeatState != 0) {
            ++ReplyCount;
            if (ReplyCount == ReplyLength)
                CompleteReply(RepeatState);
        }
        return;
    }
    if (PatternCheck != 0) {
        int index = PatternIndex;
        if (index < PatternBufferSize) {
            PatternBuffer[index] = static_cast<char>(c);
            PatternIndex = ++index;
        }
        if (index == PatternLength) {
            CompleteReply(RepeatState);
            // End the collected text; a full buffer ends at its last byte.
            int end = index < PatternBufferSize ? index : PatternBufferSize - 1;
            PatternBuffer[end] = 0;
            if (std::strcmp(PatternBuffer, PatternText) != 0) {
                std::printf("\n(err,Idx=%d)\n", index);
                for (int i = 0; i < end; ++i)
                    std::printf("[%02X]", static_cast<unsigned char>(PatternBuffer[i]));
                std::printf("\n");
            }
        }
    }
    if (c == 0x0D) {
        if (RepeatState != 0) {
            CompleteReply(RepeatState);
            if (EchoLf)
                std::putchar('\n');
        } else if (ScanState != 0) {
            CompleteReply(ScanState);
            std::putchar('\n');
        } else {
            std::putchar('\n');
        }
    }
}

void ShowNormal(const unsigned char *buf, int n)
{
    int start = 0;
    for (int i = 0; i < n; ++i) {
        if (buf[i] == 0x08) {
            ConWriteReceived(buf + start, i + 1 - start);
            std::fputs(" \b", stdout);
            start = i + 1;
        }
    }
    if (start < n)
        ConWriteReceived(buf + start, n - start);
}

void ShowPlainOrAnsi(const unsigned char *buf, int n)
{
    if (AnsiMode) {
        for (int i = 0; i < n; ++i)
            AnsiPutByte(buf[i]);
        return;
    }
    if (StampsApply())
        ShowStamped(buf, n, ShowNormal);
    else
        ShowNormal(buf, n);
}

}  // namespace

void ShowReceived(const unsigned char *buf, int n)
{
    if (EchoBackMode) {
        ComWrite(CurrentPort, buf, n);
        return;
    }
    if (AutoLoadActive || MultiLoadActive) {
        int start = 0;
        for (int i = 0; i < n && buf[i] != 0; ++i) {
            if (buf[i] == '!') {
                ConWriteReceived(buf + start, i + 1 - start);
                start = i + 1;
                AutoLoadStep();
            }
        }
        const void *zero = std::memchr(buf + start, 0, static_cast<size_t>(n - start));
        int end = zero != nullptr ? static_cast<int>(static_cast<const unsigned char *>(zero) - buf) : n;
        ConWriteReceived(buf + start, end - start);
        return;
    }
    if (LineMode) {
        ConSetColor(0x4F);
        for (int i = 0; i < n; ++i)
            ShowLineModeByte(buf[i]);
        return;
    }
    if (HexMode) {
        for (int i = 0; i < n; ++i) {
            std::printf("[%02X]", buf[i]);
            unsigned char c = buf[i] < 0x20 ? '.' : buf[i];
            ConWriteReceived(&c, 1);
        }
        return;
    }
    // The line-end maps act on the plain and ANSI displays only (and so on
    // the stamped log, which is a copy of the display); Hex mode shows the
    // bytes as they came.
    static unsigned char mapped[ReceiveBufferSize];
    while (n > 0) {
        int part = n < ReceiveBufferSize ? n : ReceiveBufferSize;
        const unsigned char *shown = buf;
        if ((MapFlags & (MapInCrNl | MapInNlCr)) != 0) {
            std::memcpy(mapped, buf, static_cast<std::size_t>(part));
            MapReceived(mapped, part);
            shown = mapped;
        }
        ShowPlainOrAnsi(shown, part);
        buf += part;
        n -= part;
    }
}
