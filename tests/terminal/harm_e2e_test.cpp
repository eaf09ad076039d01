// What the controller sends or a file holds cannot harm the user: tarvik in
// a tmux pane against quarnix-sim or a pseudo-terminal held by the test.
// Uploads never replace tarvik's own files nor destroy a file on failure;
// received bytes and file text never drive the user's terminal; answers of
// the terminal are not keys; download sequences, scripts, settings values,
// relative device paths and the exit status end as they should.
#include "e2e.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace e2e;

namespace {

// tarvik on COM1 = quarnix-sim (started with the given options) in dir.
struct SimSession {
    TempDir dir;
    std::unique_ptr<Simulator> sim;
    Tmux tmux{110, 40};

    void Start(const std::vector<std::string> &simOptions, const std::string &env = "")
    {
        std::vector<std::string> options = {"--transfer-timeout", "4000"};
        options.insert(options.end(), simOptions.begin(), simOptions.end());
        sim = std::make_unique<Simulator>(dir, options);
        tmux.Start(env + TarvikCommand({{1, sim->link()}}), dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    }
    // A file for the simulator to store at start (src/name).
    void Put(const std::string &name, const std::string &data)
    {
        mkdir((dir / "src").c_str(), 0755);
        WriteFile(dir / ("src/" + name), data);
    }
    void Command(const std::string &text)
    {
        tmux.Type(text);
        tmux.Key("Enter");
    }
    // Offers src/name for upload and fetches it with ALT_G.
    void Fetch(const std::string &name)
    {
        Command("send " + name);
        ASSERT_TRUE(tmux.WaitScreen("waiting for the terminal")) << tmux.Screen();
        tmux.Key("M-g");
        ASSERT_TRUE(tmux.WaitScreen("End of Getfile")) << tmux.Screen();
    }
    void Quit()
    {
        tmux.Key("M-x");
        ASSERT_TRUE(tmux.WaitExit(20000)) << tmux.Screen();
    }
};

// ---- Uploads ---------------------------------------------------------------

TEST(Harm, UploadNamedTarvikIniIsRefused)
{
    SimSession s;
    s.Put("h.bin", "\x1b]0;owned\x07");
    s.Start({"--put", "src/h.bin", "--upload-name", "tarvik.ini"});
    std::string before = ReadFile(s.dir / "tarvik.ini");
    s.Fetch("h.bin");
    EXPECT_NE(s.tmux.Screen().find("Refused file name \"tarvik.ini\""), std::string::npos) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("Upload stopped by the terminal.")) << s.tmux.Screen();
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini"), before) << s.tmux.Screen();
    s.Quit();
}

// A hard link planted as the part file of an upload, and a name that is a
// link to the settings file: tarvik.ini is not written through either.
TEST(Harm, UploadThroughALinkToTarvikIniIsRefused)
{
    for (const std::string &planted : {std::string("hl.part"), std::string("hl")}) {
        SimSession s;
        s.Put("h.bin", "C9 B300 P0 D8 S1\n");
        const std::string before = "C1 B115200 P0 D8 S1\nFkeep.exe \n\nw25\n";
        WriteFile(s.dir / "tarvik.ini", before);
        s.Start({"--put", "src/h.bin", "--upload-name", "hl"});
        ASSERT_EQ(link((s.dir / "tarvik.ini").c_str(), (s.dir / planted).c_str()), 0);
        s.Fetch("h.bin");
        EXPECT_NE(s.tmux.Screen().find("Refused file name \"hl\": a file of tarvik's own"), std::string::npos)
            << s.tmux.Screen();
        EXPECT_TRUE(s.tmux.WaitScreen("Upload stopped by the terminal.")) << s.tmux.Screen();
        EXPECT_EQ(ReadFile(s.dir / "tarvik.ini"), before) << planted;
        s.Quit();
    }
}

TEST(Harm, UploadNameWithATrailingBlankIsRefused)
{
    SimSession s;
    s.Put("h.bin", "data");
    s.Start({"--put", "src/h.bin", "--upload-name", "h.bin "});
    s.Fetch("h.bin");
    EXPECT_NE(s.tmux.Screen().find("Refused file name \"h.bin \""), std::string::npos) << s.tmux.Screen();
    EXPECT_FALSE(FileExists(s.dir / "h.bin "));
    EXPECT_FALSE(FileExists(s.dir / "h.bin"));
    s.Quit();
}

TEST(Harm, FailedFetchLeavesTheOldFileAndSaysSo)
{
    SimSession s;
    // Three bad copies of block 2: the terminal stops the upload.
    std::string data(700, 'n');
    s.Put("c.bin", data);
    s.Start({"--put", "src/c.bin", "--upload-crc", "2:3"});
    WriteFile(s.dir / "c.bin", "the old file");
    s.Fetch("c.bin");
    EXPECT_TRUE(s.tmux.WaitScreen("Get file c.bin incomplete")) << s.tmux.Screen();
    EXPECT_EQ(ReadFile(s.dir / "c.bin"), "the old file");
    EXPECT_EQ(ReadFile(s.dir / "c.bin.part"), data.substr(0, 256));
    s.Quit();
}

// ---- What reaches the user's terminal ----------------------------------------

const int UseUtf8 = (setenv("LC_ALL", "C.UTF-8", 1), 0);

// tarvik on COM1 = a pseudo-terminal the test holds.
struct PtySession {
    TempDir dir;
    PtyPeer com1{dir, "com1"};
    Tmux tmux{100, 30};

    void Start(const std::string &env = "", const std::string &args = "")
    {
        (void)UseUtf8;
        tmux.Start(env + TarvikCommand({{1, com1.link()}}, args), dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
        com1.Read(200, 50);
    }
    void Quit()
    {
        tmux.Key("M-x");
        ASSERT_TRUE(tmux.WaitExit(20000)) << tmux.Screen();
    }
};

// ANSI mode's plain bytes and Hex mode's character column are shown as in
// Normal mode: code page 437 box drawing, control characters as glyphs.
TEST(Harm, AnsiAndHexModesShowBytesAsNormalModeDoes)
{
    PtySession s;
    s.Start();
    s.tmux.Key("M-a");
    ASSERT_TRUE(s.tmux.WaitScreen("{change to ANSI Mode}")) << s.tmux.Screen();
    s.com1.Write("a\xDA\xC4\xBF\x0E|\r\n");
    ASSERT_TRUE(s.tmux.WaitScreen("a\u250C\u2500\u2510\u266B|")) << s.tmux.Screen();
    s.tmux.Key("M-a");
    s.tmux.Key("M-h");
    ASSERT_TRUE(s.tmux.WaitScreen("{change to HEX mode}")) << s.tmux.Screen();
    s.com1.Write("\xDA\x7F");
    ASSERT_TRUE(s.tmux.WaitScreen("[DA]\u250C[7F]\u2302")) << s.tmux.Screen();
    s.Quit();
}

// With the UTF-8 code page, 8-bit controls encoded in UTF-8 and malformed
// forms are shown as the replacement character.
TEST(Harm, Utf8CodePageShowsControlsAndMalformedFormsAsReplacement)
{
    PtySession s;
    s.Start("TARVIK_CODEPAGE=65001 ");
    s.com1.Write("<\xC2\x9D" "0;x\x07|\xF8\xA1\xA1\xA1\xA1|\xC3\xA9>\r\n");
    ASSERT_TRUE(s.tmux.WaitScreen("\uFFFD0;x|")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("\u00E9>")) << s.tmux.Screen();
    std::string screen = s.tmux.Screen();
    std::size_t bar = screen.find("0;x|");
    ASSERT_NE(bar, std::string::npos);
    // Five bytes that form no character: no byte of them reaches the terminal as is.
    EXPECT_EQ(screen.substr(bar + 4, screen.find("\u00E9>") - bar - 4).find_first_not_of("\xEF\xBF\xBD?|"),
              std::string::npos)
        << screen;
    s.Quit();
}

// A settings value is shown with the same guard: an OSC in the F value is
// text on the screen, not a new window title.
TEST(Harm, SettingsValuesCannotDriveTheTerminal)
{
    PtySession s;
    WriteFile(s.dir / "tarvik.ini",
              "F\x1b]2;pwned\x07 Dx\x1b]2;pwned\x07\nB\x1b[?1049h\x1b]2;pwned\x07\x1b]52;c;cHduZWQ=\x07\n");
    s.Start();
    EXPECT_TRUE(s.tmux.WaitScreen("AutoRun:\u2190]2;pwned")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("Bad setting Dx\u2190]2;pwned")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("Cannot use B\u2190[?1049h\u2190]2;pwned")) << s.tmux.Screen();
    EXPECT_EQ(s.tmux.Title().find("pwned"), std::string::npos) << s.tmux.Title();
    EXPECT_EQ(s.tmux.Format("#{alternate_on}"), "0");
    s.Quit();
    EXPECT_EQ(s.tmux.Format("#{alternate_on}"), "0");
}

// A directory name is file-system text: shown at start with the same
// guard, its OSC is text on the screen (the title shows it cleaned).
TEST(Harm, DirectoryNameCannotDriveTheTerminal)
{
    (void)UseUtf8;
    TempDir dir;
    PtyPeer com1{dir, "com1"};
    const std::string sub = dir / "d\x1b]2;pwned\x07";
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    Tmux tmux{100, 30};
    tmux.Start(TarvikCommand({{1, com1.link()}}), sub);
    ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    EXPECT_NE(tmux.Screen().find("/d\u2190]2;pwned\""), std::string::npos) << tmux.Screen();
    EXPECT_EQ(tmux.Title().rfind("TARVIK 1.30", 0), 0u) << tmux.Title();
    tmux.Key("M-x");
    ASSERT_TRUE(tmux.WaitExit(20000)) << tmux.Screen();
}

// Code page 950: a lead byte that ends one read, CR LF at the start of the
// next (the display once copied from a null pointer there).
TEST(Harm, Big5LeadByteThenLineEndInTheNextRead)
{
    PtySession s;
    s.Start("TARVIK_CODEPAGE=950 ");
    s.com1.Write("<\xB4");
    ASSERT_TRUE(s.tmux.WaitScreen("<")) << s.tmux.Screen();
    s.com1.Write("\r\nnext>\r\n");
    ASSERT_TRUE(s.tmux.WaitScreen("next>")) << s.tmux.Screen();
    s.Quit();
}

}  // namespace

namespace {

// ---- Keys -------------------------------------------------------------------

// The terminal's answers (a cursor position report, a colour report) are
// dropped: the report at row 1, column 1 is not F3 (which would send the
// run command), the colour report's text is not typed to the controller.
TEST(Harm, TerminalAnswersAreNotKeys)
{
    PtySession s;
    s.Start();
    s.tmux.Type("\033[1;1R");
    s.tmux.Type("\033]11;rgb:0000/0000/0000\033\\");
    s.tmux.Type("x");
    EXPECT_EQ(s.com1.Read(3000, 300), "x");
    s.Quit();
}

}  // namespace

namespace {

// ---- Download sequences -------------------------------------------------------

// Plays the controller's side of one download of a file of one block: the
// '!', then ACK for the information block and the data block.
void AnswerDownload(PtyPeer &com1)
{
    com1.Write("!");
    ASSERT_EQ(com1.ReadN(260).size(), 260u);
    com1.Write("\x06");
    ASSERT_EQ(com1.ReadN(260).size(), 260u);
    com1.Write("\x06");
}

// F8 then F10 while armed: "runr" is sent once, and both run flags end
// with the sequence, so a later F9 (download only) starts nothing.
TEST(Harm, RunFlagsEndWithTheirSequence)
{
    PtySession s;
    WriteFile(s.dir / "tarvik.ini", "Fp.bin\n");
    WriteFile(s.dir / "p.bin", "0123456789");
    s.Start();
    s.tmux.Key("F8");
    ASSERT_EQ(s.com1.ReadN(5), "LOAD\r");
    s.tmux.Key("F10");
    ASSERT_TRUE(s.tmux.WaitScreen("[F10]")) << s.tmux.Screen();
    AnswerDownload(s.com1);
    EXPECT_EQ(s.com1.ReadN(5), "runr\r");
    ASSERT_TRUE(s.tmux.WaitScreen("Transfer time")) << s.tmux.Screen();
    s.tmux.Key("F9");
    ASSERT_EQ(s.com1.ReadN(5), "LOAD\r");
    AnswerDownload(s.com1);
    EXPECT_EQ(s.com1.Read(1500, 300), "");
    s.Quit();
}

}  // namespace

namespace {

// ---- Command mode -------------------------------------------------------------

// /load of a missing file or of a directory says so, and sends nothing.
TEST(Harm, LoadOfAMissingFileOrADirectorySaysCannotOpen)
{
    PtySession s;
    mkdir((s.dir / "sub").c_str(), 0755);
    s.Start();
    for (std::string name : {"nothere.exe", "sub"}) {
        s.tmux.Key("M-c");
        ASSERT_TRUE(s.tmux.WaitScreen("tarvikCmd:")) << s.tmux.Screen();
        s.tmux.Type("/load " + name);
        s.tmux.Key("Enter");
        EXPECT_TRUE(s.tmux.WaitScreen("Cannot open file:" + name)) << s.tmux.Screen();
        s.tmux.Key("C-F6");
    }
    EXPECT_EQ(s.com1.Read(500, 200), "");
    s.Quit();
}

}  // namespace

namespace {

// ---- Start-up -------------------------------------------------------------------

// A port that cannot be opened: the run ends with a failure status whatever
// the key (ALT_X gives code 0 in the low byte), and the prompt's line is
// ended.
TEST(Harm, PortThatCannotBeOpenedEndsWithFailure)
{
    (void)UseUtf8;
    TempDir dir;
    Tmux tmux;
    tmux.Start(TarvikCommand({{1, dir / "none"}}) + "; s=$?; printf MARK; (exit $s)", dir.path());
    ASSERT_TRUE(tmux.WaitScreen("Press any key to quit.")) << tmux.Screen();
    tmux.Key("M-x");
    ASSERT_TRUE(tmux.WaitExit()) << tmux.Screen();
    EXPECT_EQ(tmux.ExitStatus(), 1);
    std::string screen = tmux.Screen();
    EXPECT_NE(screen.find("\nMARK"), std::string::npos) << screen;
}

}  // namespace

namespace {

// Settings values beyond range: the bit rate is refused with the message
// /B gives, the screen rows are held at 50 as /S holds them.
TEST(Harm, SettingsFileValuesWithinTheOptionsRanges)
{
    PtySession s;
    WriteFile(s.dir / "tarvik.ini", "C1 B2147483648 P0 D8 S1\nw99999999999\n");
    s.Start();
    EXPECT_TRUE(s.tmux.WaitScreen("Cannot use B2147483648, the bit rate stays 115200")) << s.tmux.Screen();
    s.Quit();
    std::string saved = ReadFile(s.dir / "tarvik.ini");
    EXPECT_NE(saved.find("B115200"), std::string::npos) << saved;
    EXPECT_NE(saved.find("w50\n"), std::string::npos) << saved;
}

}  // namespace

namespace {

// tarvik.ini as a symbolic link to a file kept elsewhere: the settings are
// written through the link to that file, which keeps its mode.
TEST(Harm, SettingsFileThatIsALinkIsWrittenThroughIt)
{
    PtySession s;
    mkdir((s.dir / "shared").c_str(), 0755);
    WriteFile(s.dir / "shared/real.ini", "C1 B9600 P0 D8 S1\nw25\n");
    chmod((s.dir / "shared/real.ini").c_str(), 0640);
    ASSERT_EQ(symlink("shared/real.ini", (s.dir / "tarvik.ini").c_str()), 0);
    s.Start("", "/B19200");
    s.Quit();
    struct stat link {}, real {};
    ASSERT_EQ(lstat((s.dir / "tarvik.ini").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    ASSERT_EQ(stat((s.dir / "shared/real.ini").c_str(), &real), 0);
    EXPECT_EQ(real.st_mode & 0777, 0640u);
    EXPECT_NE(ReadFile(s.dir / "shared/real.ini").find("B19200"), std::string::npos);
}

}  // namespace

namespace {

// A relative device path (TARVIK_COM1=com1): after a change of directory in
// command mode the port still returns once its device is back.
TEST(Harm, RelativeDevicePathSurvivesADirectoryChange)
{
    (void)UseUtf8;
    TempDir dir;
    mkdir((dir / "sub").c_str(), 0755);
    Process sim;
    sim.Start({SimPath(), "--link", dir / "com1"}, dir.path());
    ASSERT_TRUE(WaitFor([&] { return FileExists(dir / "com1"); }));
    Tmux tmux;
    tmux.Start(TarvikCommand({{1, "com1"}}), dir.path());
    ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    tmux.Key("M-c");
    ASSERT_TRUE(tmux.WaitScreen("tarvikCmd:")) << tmux.Screen();
    tmux.Type("Psub");
    tmux.Key("Enter");
    ASSERT_TRUE(tmux.WaitScreen("/sub\"")) << tmux.Screen();
    kill(sim.pid(), SIGUSR2);  // unplugged
    ASSERT_TRUE(tmux.WaitScreen("is gone")) << tmux.Screen();
    kill(sim.pid(), SIGUSR2);  // and plugged in again
    EXPECT_TRUE(tmux.WaitScreen("is back]", 15000)) << tmux.Screen();
    tmux.Key("M-x");
    EXPECT_TRUE(tmux.WaitExit(20000));
}

}  // namespace
