// The ANSI interpreter against a real terminal: tarvik in a tmux pane in
// ANSI mode, its COM1 a pseudo-terminal held by the test, which plays the
// controller.  The screen (capture-pane, -e for colours) and the cursor
// (#{cursor_x}, #{cursor_y}, 0-based) show what the sequences did.
#include "e2e.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

using namespace e2e;

namespace {

const int UseUtf8 = (setenv("LC_ALL", "C.UTF-8", 1), 0);

std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos <= text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

// Foreground and background colour numbers (SGR 30-37/90-97, 40-47/100-107;
// 39 and 49 for the defaults) in force where `text` starts on the screen,
// read from capture-pane -e.
struct Colours {
    int fg = 39;
    int bg = 49;
};

bool ColoursAt(const std::string &screen, const std::string &text, Colours *out, Colours start = Colours())
{
    Colours c = start;
    std::size_t i = 0;
    while (i < screen.size()) {
        if (screen.compare(i, text.size(), text) == 0) {
            *out = c;
            return true;
        }
        if (screen[i] == '\033' && i + 1 < screen.size() && screen[i + 1] == '[') {
            std::size_t end = screen.find_first_of("m", i + 2);
            if (end == std::string::npos)
                break;
            std::string params = screen.substr(i + 2, end - i - 2);
            std::vector<int> ps;
            std::size_t p = 0;
            while (p <= params.size()) {
                std::size_t q = params.find(';', p);
                if (q == std::string::npos)
                    q = params.size();
                ps.push_back(std::atoi(params.substr(p, q - p).c_str()));
                p = q + 1;
            }
            for (std::size_t k = 0; k < ps.size(); ++k) {
                int v = ps[k];
                if (v == 0) {
                    c = Colours();
                } else if ((v >= 30 && v <= 37) || (v >= 90 && v <= 97) || v == 39) {
                    c.fg = v;
                } else if ((v >= 40 && v <= 47) || (v >= 100 && v <= 107) || v == 49) {
                    c.bg = v;
                } else if (v == 38 || v == 48) {
                    // 38;5;n: 256-colour form of the first sixteen.
                    if (k + 2 < ps.size() && ps[k + 1] == 5) {
                        int n = ps[k + 2];
                        int code = n < 8 ? 30 + n : 90 + n - 8;
                        if (v == 38) c.fg = code; else c.bg = code + 10;
                        k += 2;
                    }
                }
            }
            i = end + 1;
            continue;
        }
        ++i;
    }
    return false;
}

struct Session {
    TempDir dir;
    PtyPeer com1{dir, "com1"};
    Tmux tmux{100, 30};

    void Start()
    {
        tmux.Start(TarvikCommand({{1, com1.link()}}), dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
        com1.Read(200, 50);
        tmux.Key("M-a");
        ASSERT_TRUE(tmux.WaitScreen("{change to ANSI Mode}")) << tmux.Screen();
    }
    void Quit()
    {
        tmux.Key("M-x");
        ASSERT_TRUE(tmux.WaitExit()) << tmux.Screen();
        EXPECT_EQ(tmux.ExitStatus(), 0);
    }
    // Cursor as 1-based column and row.
    std::pair<int, int> Cursor()
    {
        return {std::atoi(tmux.Format("#{cursor_x}").c_str()) + 1, std::atoi(tmux.Format("#{cursor_y}").c_str()) + 1};
    }
    // Sends bytes and waits until the cursor stands at (column, row).
    bool SendUntilCursor(const std::string &bytes, int column, int row)
    {
        com1.Write(bytes);
        std::pair<int, int> want{column, row};
        return WaitFor([&] { return Cursor() == want; }, 10000);
    }
    // The screen's row (1-based) as text.
    std::string Row(int row)
    {
        std::vector<std::string> lines = SplitLines(tmux.Screen());
        return row - 1 < static_cast<int>(lines.size()) ? lines[row - 1] : "";
    }
    // Clears the screen (through the interpreter) and waits for home.
    void Clear()
    {
        ASSERT_TRUE(SendUntilCursor("\033[2J", 1, 1)) << tmux.Screen();
        ASSERT_TRUE(WaitFor([&] { return tmux.Screen().find_first_not_of('\n') == std::string::npos; }))
            << tmux.Screen();
    }
};

// A marker after each sequence shows where the cursor was left: the move's
// refusals end the sequence and the marker is ordinary text.
TEST(AnsiScreen, CursorPositionIsZeroBased)
{
    Session s;
    s.Start();
    s.Clear();
    struct Case {
        const char *seq;
        int column, row;  // where the marker lands, 1-based
    };
    const Case cases[] = {
        {"\033[10;20H", 21, 11}, {"\033[H", 1, 1},  {"\033[;H", 1, 1},   {"\033[0;0H", 1, 1},
        {"\033[1;1H", 2, 2},     {"\033[5H", 1, 6}, {"\033[;5H", 6, 1},  {"\033[7;3f", 4, 8},
        {"\033[3;4;9H", 5, 4},
    };
    for (const Case &c : cases) {
        s.Clear();
        ASSERT_TRUE(s.SendUntilCursor(std::string(c.seq) + "*", c.column + 1, c.row))
            << "ESC" << (c.seq + 1) << "\n" << s.tmux.Screen();
        EXPECT_EQ(s.Row(c.row), std::string(c.column - 1, ' ') + "*") << "ESC" << (c.seq + 1);
    }
    // A target outside the screen (100 x 30 here) leaves the cursor.
    ASSERT_TRUE(s.SendUntilCursor("\033[4;4H\033[40;1Ha", 6, 5));
    ASSERT_TRUE(s.SendUntilCursor("\033[4;4H\033[1;120Hb", 6, 5));
    EXPECT_EQ(s.Row(5), "    b");
    s.Quit();
}

TEST(AnsiScreen, RelativeMovesAndTheirLimits)
{
    Session s;
    s.Start();
    s.Clear();
    // Down: a move must end above ScreenRows (25): row 24 is the lowest.
    ASSERT_TRUE(s.SendUntilCursor("\033[22;0H\033[BY", 2, 24));
    ASSERT_TRUE(s.SendUntilCursor("\033[BX", 3, 24));  // refused on row 24
    EXPECT_EQ(s.Row(24), "YX");
    ASSERT_TRUE(s.SendUntilCursor("\033[20;5H\033[3Bd", 7, 24));
    ASSERT_TRUE(s.SendUntilCursor("\033[20;9H\033[4Be", 11, 21));  // 21 + 4 is not below 25
    // Right: a move may end at column 80 at most, whatever the width.
    ASSERT_TRUE(s.SendUntilCursor("\033[1;78H\033[2CZ", 80, 2));  // from 79: 81 refused
    ASSERT_TRUE(s.SendUntilCursor("\033[2;78H\033[1CW", 81, 3));  // 80 allowed
    ASSERT_TRUE(s.SendUntilCursor("\033[3;78H\033[CV", 81, 4));
    ASSERT_TRUE(s.SendUntilCursor("\033[3;79H\033[CU", 81, 4));   // bare C from 80 refused
    EXPECT_EQ(s.Row(2), std::string(78, ' ') + "Z");
    EXPECT_EQ(s.Row(3), std::string(79, ' ') + "W");
    EXPECT_EQ(s.Row(4), std::string(79, ' ') + "U");
    // Left and up from column 10, row 5.
    ASSERT_TRUE(s.SendUntilCursor("\033[4;9H\033[3Da", 8, 5));
    ASSERT_TRUE(s.SendUntilCursor("\033[4;9H\033[10Db", 11, 5));  // refused
    ASSERT_TRUE(s.SendUntilCursor("\033[4;9H\033[9Dc", 2, 5));    // to column 1
    ASSERT_TRUE(s.SendUntilCursor("\033[4;9H\033[4Af", 11, 1));
    ASSERT_TRUE(s.SendUntilCursor("\033[4;19H\033[5Ag", 21, 5));  // refused
    ASSERT_TRUE(s.SendUntilCursor("\033[0;30H\033[Ah", 32, 1));   // on row 1 it stays
    ASSERT_TRUE(s.SendUntilCursor("\033[6;0H\033[Di", 2, 7));     // column 1 stays
    ASSERT_TRUE(s.SendUntilCursor("\033[6;9H\033[2;5Dj", 6, 7));  // only the last count
    ASSERT_TRUE(s.SendUntilCursor("\033[6;20H\033[0Ck", 22, 7));  // a count of 0
    EXPECT_EQ(s.Row(5), "c     a  b         g");
    EXPECT_EQ(s.Row(7), "i   j               k");
    s.Quit();
}

TEST(AnsiScreen, SaveRestoreAndClears)
{
    Session s;
    s.Start();
    s.Clear();
    // Restore before any save after the reset: the cursor stays.
    ASSERT_TRUE(s.SendUntilCursor("\033[2;2H\033[uA", 4, 3));
    ASSERT_TRUE(s.SendUntilCursor("\033[5;5H\033[s\033[10;10Hxx\033[uM", 7, 6));
    EXPECT_EQ(s.Row(6), "     M");
    // The saved place survives other sequences.
    ASSERT_TRUE(s.SendUntilCursor("\033[31m\033[20;20H\033[1J\033[uN", 7, 6));
    EXPECT_EQ(s.Row(6), "     N");
    // Clear to end of line: only the bare form; in normal colours.
    ASSERT_TRUE(s.SendUntilCursor("\033[41m\033[14;0Habcdefgh\033[14;2H\033[K", 3, 15));
    ASSERT_TRUE(s.SendUntilCursor("\033[15;0Habcdefgh\033[15;2H\033[3K", 3, 16));
    EXPECT_EQ(s.Row(15), "ab");
    EXPECT_EQ(s.Row(16), "abcdefgh");
    std::string coloured = s.tmux.Screen(true);
    std::vector<std::string> lines = SplitLines(coloured);
    ASSERT_GE(lines.size(), 15u);
    Colours c;
    ASSERT_TRUE(ColoursAt(coloured, "ab", &c));
    EXPECT_EQ(c.bg, 41);
    // The blanks after the red "ab" are in normal colours: tmux ends the
    // line with a change back to the normal background.
    std::string after = lines[14].substr(lines[14].rfind("ab") + 2);
    Colours red;
    red.bg = 41;
    ASSERT_TRUE(ColoursAt(after + "|end", "|end", &c, red));
    EXPECT_EQ(c.bg, 49) << lines[14];
    EXPECT_EQ(after.find(' '), std::string::npos) << lines[14];
    // ESC [ J shows J; 1 J is dropped; 2 J clears and homes.
    ASSERT_TRUE(s.SendUntilCursor("\033[0m\033[20;0H\033[J\033[1Jq", 3, 21));
    EXPECT_EQ(s.Row(21), "Jq");
    ASSERT_TRUE(s.SendUntilCursor("\033[2J", 1, 1));
    EXPECT_TRUE(WaitFor([&] { return s.tmux.Screen().find_first_not_of('\n') == std::string::npos; }))
        << s.tmux.Screen();
    s.Quit();
}

TEST(AnsiScreen, ColourLists)
{
    Session s;
    s.Start();
    s.Clear();
    s.com1.Write("\033[31;44mRB\033[0m \033[1;33mYI\033[m \033[33m\033[34mBI\033[m \033[5mBG\033[m "
                 "\033[1;44m\033[7mRV\033[m \033[31;mNM\033[m \033[4mUN\033[m \033[32m\033[2J\033[1;31mRC");
    ASSERT_TRUE(s.tmux.WaitScreen("RC")) << s.tmux.Screen();
    s.com1.Write("\033[0;0H\033[m");
    std::string screen;
    ASSERT_TRUE(WaitFor([&] { return (screen = s.tmux.Screen(true)).find("RC") != std::string::npos; }));
    // Everything before the clear is gone; the 31 after it worked on the
    // interpreter's own attribute (green), not on the cleared console's.
    EXPECT_EQ(screen.find("RB"), std::string::npos);
    Colours c;
    ASSERT_TRUE(ColoursAt(screen, "RC", &c)) << screen;
    EXPECT_EQ(c.fg, 91);  // bright red: 1 then 31

    s.Clear();
    s.com1.Write("\033[31;44mRB\033[0m \033[1;33mYI\033[m \033[33m\033[34mBI\033[m \033[5mBG\033[m "
                 "\033[1;44m\033[7mRV\033[m \033[31;mNM\033[m \033[4mUN\033[m \033[8mHI\033[m END");
    ASSERT_TRUE(s.tmux.WaitScreen("END")) << s.tmux.Screen();
    screen = s.tmux.Screen(true);
    struct Want {
        const char *text;
        int fg, bg;
    };
    // Console attributes shown as ANSI colours: 0x14 red on blue, 0x0E
    // bright yellow, 0x09 bright blue, 0x87 grey on bright black, 0x70
    // black on grey, 0x07 and 0x00.
    const Want wants[] = {{"RB", 31, 44}, {"YI", 93, 40}, {"BI", 94, 40}, {"BG", 37, 100},
                          {"RV", 30, 47}, {"NM", 39, 49}, {"UN", 39, 49}, {"END", 39, 49}};
    for (const Want &w : wants) {
        ASSERT_TRUE(ColoursAt(screen, w.text, &c)) << w.text << "\n" << screen;
        EXPECT_EQ(c.fg, w.fg) << w.text << "\n" << screen;
        EXPECT_EQ(c.bg, w.bg) << w.text << "\n" << screen;
    }
    s.Quit();
}

TEST(AnsiScreen, SequenceSplitAcrossReads)
{
    Session s;
    s.Start();
    s.Clear();
    // Each part is read by its own pass of the receive loop.
    const char *parts[] = {"\033", "[1", "5;", "3", "0H", "S\033[3", "2m", "G"};
    for (const char *p : parts) {
        s.com1.Write(p);
        usleep(150 * 1000);
    }
    ASSERT_TRUE(WaitFor([&] { return s.Cursor() == std::make_pair(33, 16); })) << s.tmux.Screen();
    EXPECT_EQ(s.Row(16), std::string(30, ' ') + "SG");
    Colours c;
    ASSERT_TRUE(ColoursAt(s.tmux.Screen(true), "G", &c));
    EXPECT_EQ(c.fg, 32);
    s.Quit();
}

// The cursor the interpreter reads is the one on the screen, also after
// text that the keyboard thread printed.
TEST(AnsiScreen, CursorAfterTheOtherThreadsText)
{
    Session s;
    s.Start();
    s.Clear();
    s.tmux.Key("M-i");
    ASSERT_TRUE(s.tmux.WaitScreen("[Send X_ON]")) << s.tmux.Screen();
    ASSERT_TRUE(s.SendUntilCursor("\033[5DZ", 8, 1));
    EXPECT_EQ(s.Row(1), "[Send Z_ON]");
    s.Quit();
}

// Keys typed while the interpreter asks the terminal for the cursor reach
// the controller complete and in order; arrows go out as cursor sequences.
TEST(AnsiScreen, TypedKeysSurviveCursorQueries)
{
    Session s;
    s.Start();
    s.Clear();
    std::string flood;
    for (int i = 0; i < 300; ++i)
        flood += "\033[s\033[2C\033[u";
    std::string typed = "hello, controller 0123456789";
    for (int round = 0; round < 3; ++round) {
        s.com1.Write(flood);
        s.tmux.Type(typed);
        s.tmux.Keys({"Up", "Left"});
    }
    std::string want;
    for (int round = 0; round < 3; ++round)
        want += typed + "\033[A\033[D";
    std::string got = s.com1.ReadN(want.size(), 20000);
    EXPECT_EQ(got, want);
    EXPECT_EQ(s.com1.Read(300, 100), "");
    // Nothing of the terminal's answers shows up as text.
    EXPECT_TRUE(WaitFor([&] { return s.tmux.Screen().find_first_not_of('\n') == std::string::npos; }))
        << s.tmux.Screen();
    // Back in normal mode the arrows send nothing.
    s.tmux.Key("M-a");
    ASSERT_TRUE(s.tmux.WaitScreen("{change to Normal Mode}"));
    s.tmux.Keys({"Up", "Down", "x"});
    EXPECT_EQ(s.com1.ReadN(1, 5000), "x");
    s.Quit();
}

// The simulator's "ansidemo" screen drawn in a pane, as a user sees it.
TEST(AnsiScreen, ControllerDemoScreen)
{
    TempDir dir;
    Simulator sim(dir);
    Tmux tmux(100, 30);
    tmux.Start(TarvikCommand({{1, sim.link()}}), dir.path());
    ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    tmux.Key("M-a");
    ASSERT_TRUE(tmux.WaitScreen("{change to ANSI Mode}"));
    tmux.Type("ansidemo");
    tmux.Key("Enter");
    ASSERT_TRUE(tmux.WaitScreen("A:\\>")) << tmux.Screen();
    ASSERT_TRUE(WaitFor([&] { return tmux.Screen().find("Done.\nA:\\>") != std::string::npos; }))
        << tmux.Screen();
    std::vector<std::string> lines = SplitLines(tmux.Screen());
    ASSERT_GE(lines.size(), 14u);
    EXPECT_EQ(lines[0], " Quarnix 2.10  I/O status");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], "  Channel  Value  State");
    EXPECT_EQ(lines[3], "  AI0     0412   OK");
    EXPECT_EQ(lines[5], "  AI2     4095   HIGH");
    EXPECT_EQ(lines[8], "  Counter: 000123  (saved)");
    EXPECT_EQ(lines[10], "   Alarm: channel AI2");
    EXPECT_EQ(lines[12], "  Done.");
    EXPECT_EQ(lines[13], "A:\\>");
    Colours c;
    std::string coloured = tmux.Screen(true);
    ASSERT_TRUE(ColoursAt(coloured, "HIGH", &c));
    EXPECT_EQ(c.fg, 91);
    ASSERT_TRUE(ColoursAt(coloured, " Quarnix", &c));
    EXPECT_EQ(c.fg, 93);
    EXPECT_EQ(c.bg, 44);
    tmux.Key("M-x");
    ASSERT_TRUE(tmux.WaitExit()) << tmux.Screen();
    EXPECT_EQ(tmux.ExitStatus(), 0);
}

}  // namespace
