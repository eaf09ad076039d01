// tarvik in a tmux pane talking to quarnix-sim over a pseudo-terminal:
// the download-and-run keys, the prompts, ALT_E and ALT_G, sizes from 0 to
// several hundred KiB, the simulator's faults, the bounds and Escape.
#include "e2e.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <utime.h>

using namespace e2e;

namespace {

long long MTime(const std::string &path)
{
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<long long>(st.st_mtime);
}

// A file with bytes that show misplaced blocks, dated at an even second.
std::string MakeFile(const std::string &path, std::size_t size, long long mtime = 1700000000)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 31 + i / 256) & 0xFF);
    WriteFile(path, data);
    struct utimbuf ut = {static_cast<time_t>(mtime), static_cast<time_t>(mtime)};
    utime(path.c_str(), &ut);
    return data;
}

std::size_t Count(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

// tarvik on COM1 = quarnix-sim, which keeps a copy of every received file
// in dir/store.
struct Session {
    TempDir dir;
    std::unique_ptr<Simulator> sim;
    Tmux tmux{110, 50};

    void Start(const std::vector<std::string> &simOptions = {}, const std::string &ini = "")
    {
        mkdir((dir / "store").c_str(), 0755);
        std::vector<std::string> options = {"--store", "store", "--transfer-timeout", "4000"};
        options.insert(options.end(), simOptions.begin(), simOptions.end());
        sim = std::make_unique<Simulator>(dir, options);
        if (!ini.empty())
            WriteFile(dir / "tarvik.ini", ini);
        tmux.Start(TarvikCommand({{1, sim->link()}}), dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    }
    std::string Stored(const std::string &area, const std::string &name) const
    {
        return ReadFile(dir / ("store/" + area + "." + name));
    }
    bool WaitStored(const std::string &area, const std::string &name, std::size_t size, int ms = 30000)
    {
        std::string path = dir / ("store/" + area + "." + name);
        return WaitFor([&] { return FileExists(path) && ReadFile(path).size() == size; }, ms);
    }
    // Types a command line for the controller.
    void Command(const std::string &text)
    {
        tmux.Type(text);
        tmux.Key("Enter");
    }
    void Clear() { tmux.Key("C-F6"); }
    void Quit()
    {
        tmux.Key("M-x");
        ASSERT_TRUE(tmux.WaitExit(20000)) << tmux.Screen();
        EXPECT_EQ(tmux.ExitStatus(), 0);
    }
};

TEST(DownloadAndRun, F2F6ThenF8StoresTheFileAndRunsItWithArguments)
{
    Session s;
    std::string data = MakeFile(s.dir / "prog.exe", 3000, 1700000001);
    s.Start();
    s.tmux.Key("F2");
    ASSERT_TRUE(s.tmux.WaitScreen("Input filename:")) << s.tmux.Screen();
    s.Command("C:\\work\\prog.exe");
    EXPECT_TRUE(s.tmux.WaitScreen("When Press F8/F9/F10 will auto download the file:prog.exe")) << s.tmux.Screen();
    s.tmux.Key("F6");
    ASSERT_TRUE(s.tmux.WaitScreen("Input parameters 1('*' or ',' or 'CR' to quit):")) << s.tmux.Screen();
    s.Command("12");
    ASSERT_TRUE(s.tmux.WaitScreen("Input parameters 2(")) << s.tmux.Screen();
    s.Command("abc");
    ASSERT_TRUE(s.tmux.WaitScreen("Input parameters 3(")) << s.tmux.Screen();
    s.tmux.Key("Enter");
    EXPECT_TRUE(s.tmux.WaitScreen("When Press F5/F8/F10 to run file, the command is:prog.exe 12 abc")) << s.tmux.Screen();
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini"), "C0 B115200 P0 D8 S1\nFprog.exe A12 Aabc \n\nw25\n");

    s.Clear();
    s.tmux.Key("F8");
    ASSERT_TRUE(s.tmux.WaitScreen("argv[2]=abc")) << s.tmux.Screen();
    std::string screen = s.tmux.Screen();
    EXPECT_NE(screen.find("[F8]"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Send file info. total 12 blocks"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Block 12"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Transfer time is: "), std::string::npos) << screen;
    EXPECT_NE(screen.find("Start prog.exe from FLASH (3000 bytes"), std::string::npos) << screen;
    EXPECT_NE(screen.find("argv[1]=12"), std::string::npos) << screen;
    EXPECT_EQ(s.Stored("FLASH", "prog.exe"), data);
    EXPECT_EQ(MTime(s.dir / "store/FLASH.prog.exe"), 1700000000);  // two-second steps
    std::string sent = s.sim->Received();
    EXPECT_NE(sent.find("LOAD\r"), std::string::npos);
    EXPECT_EQ(sent.substr(sent.size() - 16), "prog.exe 12 abc\r");

    // F5 runs it again; F3 runs the last file in flash.
    s.Clear();
    s.tmux.Key("F5");
    EXPECT_TRUE(s.tmux.WaitScreen("argv[2]=abc")) << s.tmux.Screen();
    s.tmux.Key("F3");
    EXPECT_TRUE(s.tmux.WaitScreen("argc=1")) << s.tmux.Screen();
    s.Quit();
}

TEST(DownloadAndRun, F9F10AltF10AndAltF9WithThreeFiles)
{
    Session s;
    std::string one = MakeFile(s.dir / "one.exe", 700);
    std::string a = MakeFile(s.dir / "a.bin", 10);
    std::string b = MakeFile(s.dir / "b.bin", 2000);
    std::string c = MakeFile(s.dir / "c.bin", 513);
    s.Start({}, "C1 B115200 P0 D8 S1\nFone.exe Ax1 \nXold1 Xold2 \nw25\n");

    s.tmux.Key("F9");
    ASSERT_TRUE(s.WaitStored("FLASH", "one.exe", one.size())) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("[F9]")) << s.tmux.Screen();
    EXPECT_EQ(s.Stored("FLASH", "one.exe"), one);

    s.Clear();
    s.tmux.Key("F10");
    ASSERT_TRUE(s.tmux.WaitScreen("argv[1]=x1")) << s.tmux.Screen();
    EXPECT_NE(s.tmux.Screen().find("Start one.exe from SRAM"), std::string::npos) << s.tmux.Screen();
    EXPECT_EQ(s.Stored("SRAM", "one.exe"), one);
    std::string sent = s.sim->Received();
    EXPECT_EQ(sent.substr(sent.size() - 8), "runr x1\r");

    unlink((s.dir / "store/SRAM.one.exe").c_str());
    s.Clear();
    s.tmux.Key("M-F10");
    ASSERT_TRUE(s.WaitStored("SRAM", "one.exe", one.size())) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("[ALT_F10]")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("stored.")) << s.tmux.Screen();
    EXPECT_EQ(s.tmux.Screen().find("Start one.exe"), std::string::npos) << s.tmux.Screen();  // not run

    s.Clear();
    s.tmux.Key("M-F2");
    ASSERT_TRUE(s.tmux.WaitScreen("Input filename 1('*' or ',' or 'CR'to quit):")) << s.tmux.Screen();
    s.Command("a.bin");
    ASSERT_TRUE(s.tmux.WaitScreen("Input filename 2(")) << s.tmux.Screen();
    s.Command("b.bin");
    ASSERT_TRUE(s.tmux.WaitScreen("Input filename 3(")) << s.tmux.Screen();
    s.Command("c.bin");
    ASSERT_TRUE(s.tmux.WaitScreen("Input filename 4(")) << s.tmux.Screen();
    s.Command("*");
    EXPECT_TRUE(s.tmux.WaitScreen("When Press ALT_F9 will auto download these file(s): a.bin b.bin c.bin"))
        << s.tmux.Screen();
    EXPECT_NE(ReadFile(s.dir / "tarvik.ini").find("Xa.bin Xb.bin Xc.bin "), std::string::npos);

    std::size_t before = Count(s.sim->Received(), "LOAD\r");
    s.Clear();
    s.tmux.Key("M-F9");
    ASSERT_TRUE(s.WaitStored("FLASH", "c.bin", c.size())) << s.tmux.Screen();
    EXPECT_EQ(s.Stored("FLASH", "a.bin"), a);
    EXPECT_EQ(s.Stored("FLASH", "b.bin"), b);
    EXPECT_EQ(s.Stored("FLASH", "c.bin"), c);
    EXPECT_TRUE(WaitFor([&] { return Count(s.sim->Received(), "LOAD\r") == before + 3; }));

    // The controller's listing agrees: three files and one.exe in flash.
    s.Clear();
    s.Command("dir");
    EXPECT_TRUE(s.tmux.WaitScreen("5 file(s)")) << s.tmux.Screen();
    s.Quit();
}

TEST(DownloadAndRun, F8WithoutAFileNameAsksForOneAtTheControllersPrompt)
{
    Session s;
    std::string data = MakeFile(s.dir / "m.bin", 300);
    s.Start({}, "C1 B115200 P0 D8 S1\nF A7 \n\nw25\n");
    s.tmux.Key("F8");
    ASSERT_TRUE(s.tmux.WaitScreen("into flash!\nInput filename:")) << s.tmux.Screen();
    s.Command("C:\\x\\m.bin");
    ASSERT_TRUE(s.WaitStored("FLASH", "m.bin", data.size())) << s.tmux.Screen();
    EXPECT_EQ(s.Stored("FLASH", "m.bin"), data);
    EXPECT_TRUE(s.tmux.WaitScreen("Start m.bin from FLASH")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("argv[1]=7")) << s.tmux.Screen();
    // Typed keys reach the controller again.
    s.Command("ver");
    EXPECT_TRUE(s.tmux.WaitScreen("Quarnix 2.10")) << s.tmux.Screen();
    s.Quit();
}

TEST(Download, SizesFromEmptyToSeveralHundredKiB)
{
    Session s;
    std::vector<std::pair<std::string, std::size_t>> files = {
        {"s0.bin", 0}, {"s1.bin", 1}, {"s256.bin", 256}, {"s257.bin", 257}, {"big.bin", 600 * 1024 + 77}};
    std::string ini = "C1 B115200 P0 D8 S1\nF \n";
    std::vector<std::string> data;
    for (auto &f : files) {
        data.push_back(MakeFile(s.dir / f.first, f.second));
        ini += "X" + f.first + " ";
    }
    s.Start({}, ini + "\nw25\n");
    s.tmux.Key("M-F9");
    ASSERT_TRUE(s.WaitStored("FLASH", "big.bin", files[4].second, 120000)) << s.tmux.Screen();
    for (std::size_t i = 0; i < files.size(); ++i) {
        // The empty file too must have arrived (as an empty file).
        EXPECT_TRUE(FileExists(s.dir / ("store/FLASH." + files[i].first))) << files[i].first;
        EXPECT_EQ(s.Stored("FLASH", files[i].first), data[i]) << files[i].first;
    }
    EXPECT_TRUE(s.tmux.WaitScreen("Block 2401")) << s.tmux.Screen();
    s.Quit();
}

TEST(Download, AltEAsksForTheNameAndSendsToAWaitingController)
{
    Session s;
    std::string data = MakeFile(s.dir / "e.bin", 999);
    s.Start();
    s.Command("LOADB");
    ASSERT_TRUE(s.tmux.WaitScreen("(LOADB)!")) << s.tmux.Screen();
    s.tmux.Key("M-e");
    ASSERT_TRUE(s.tmux.WaitScreen("Input filename:")) << s.tmux.Screen();
    s.Command("D:\\somewhere\\e.bin");
    ASSERT_TRUE(s.WaitStored("FLASH", "e.bin", data.size())) << s.tmux.Screen();
    EXPECT_EQ(s.Stored("FLASH", "e.bin"), data);
    EXPECT_TRUE(s.tmux.WaitScreen("Load file:e.bin")) << s.tmux.Screen();

    // A missing file: the controller gets the empty block and goes back to
    // its prompt.
    s.Clear();
    s.Command("LOAD");
    ASSERT_TRUE(s.tmux.WaitScreen("into flash!")) << s.tmux.Screen();
    s.tmux.Key("M-e");
    ASSERT_TRUE(s.tmux.WaitScreen("Input filename:")) << s.tmux.Screen();
    s.Command("nothere.bin");
    EXPECT_TRUE(s.tmux.WaitScreen("Cannot open file:nothere.bin")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("No file sent.")) << s.tmux.Screen();
    s.Quit();
}

TEST(Download, NakOnceAndThreeTimes)
{
    {
        Session s;
        std::string data = MakeFile(s.dir / "n.bin", 1000);
        s.Start({"--nak-block", "2:1"}, "C1 B115200 P0 D8 S1\nFn.bin \n\nw25\n");
        s.tmux.Key("F9");
        ASSERT_TRUE(s.WaitStored("FLASH", "n.bin", data.size())) << s.tmux.Screen();
        EXPECT_EQ(s.Stored("FLASH", "n.bin"), data);
        s.Quit();
    }
    {
        Session s;
        MakeFile(s.dir / "n.bin", 1000);
        s.Start({"--nak-block", "2:3"}, "C1 B115200 P0 D8 S1\nFn.bin \n\nw25\n");
        s.tmux.Key("F9");
        ASSERT_TRUE(s.tmux.WaitScreen("Transfer time is")) << s.tmux.Screen();
        std::string screen = s.tmux.Screen();
        EXPECT_NE(screen.find("Block 2\n"), std::string::npos) << screen;
        EXPECT_EQ(screen.find("Block 3"), std::string::npos) << screen;
        // The controller gives up on its own; nothing was stored.
        EXPECT_TRUE(s.tmux.WaitScreen("Transfer timed out.", 20000)) << s.tmux.Screen();
        EXPECT_FALSE(FileExists(s.dir / "store/FLASH.n.bin"));
        s.Quit();
    }
}

TEST(Download, GarbageReplyStopsTheTransferAndTheRunLineStillFollows)
{
    Session s;
    MakeFile(s.dir / "g.bin", 1000);
    s.Start({"--garbage-block", "1"}, "C1 B115200 P0 D8 S1\nFg.bin Aq \n\nw25\n");
    s.tmux.Key("F8");
    ASSERT_TRUE(s.tmux.WaitScreen("Transfer time is")) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("Transfer cancelled.")) << s.tmux.Screen();
    EXPECT_TRUE(WaitFor([&] {
        std::string r = s.sim->Received();
        return r.size() >= 8 && r.substr(r.size() - 8) == "g.bin q\r"; }))
        << s.sim->Received().size();
    EXPECT_EQ(s.tmux.Screen().find("Block 2"), std::string::npos) << s.tmux.Screen();
    s.Quit();
}

TEST(Download, SilenceIsBoundedAndEscapeCancelsHoldingTypedKeys)
{
    {
        Session s;
        MakeFile(s.dir / "q.bin", 1000);
        s.Start({"--silent-block", "1", "--transfer-timeout", "60000"}, "C1 B115200 P0 D8 S1\nFq.bin \n\nw25\n");
        s.tmux.Key("F9");
        ASSERT_TRUE(s.tmux.WaitScreen("[No answer from the controller]", 40000)) << s.tmux.Screen();
        EXPECT_TRUE(s.tmux.WaitScreen("Transfer time is")) << s.tmux.Screen();
        s.Quit();
    }
    {
        Session s;
        MakeFile(s.dir / "q.bin", 1000);
        s.Start({"--silent-block", "1", "--transfer-timeout", "60000"}, "C1 B115200 P0 D8 S1\nFq.bin Az \n\nw25\n");
        s.tmux.Key("F8");
        ASSERT_TRUE(s.tmux.WaitScreen("Block 1")) << s.tmux.Screen();
        std::size_t sentBefore = s.sim->Received().size();
        s.tmux.Type("typed");
        s.tmux.Key("Escape");
        ASSERT_TRUE(s.tmux.WaitScreen("[Transfer cancelled]")) << s.tmux.Screen();
        EXPECT_TRUE(s.tmux.WaitScreen("Transfer time is")) << s.tmux.Screen();
        // Neither the typed keys nor a run line reached the controller.
        std::string after = s.sim->Received().substr(sentBefore);
        EXPECT_EQ(after.find("typed"), std::string::npos);
        EXPECT_EQ(after.find("q.bin z"), std::string::npos);
        // Keys go to the controller again afterwards.
        s.tmux.Type("x");
        EXPECT_TRUE(WaitFor([&] { return s.sim->Received().find('x', sentBefore) != std::string::npos; }));
        s.Quit();
    }
}

TEST(Download, ArmedStateWithASilentControllerEndsOnEscape)
{
    TempDir dir;
    PtyPeer controller(dir, "com1");
    Tmux tmux;
    WriteFile(dir / "tarvik.ini", "C1 B115200 P0 D8 S1\nFx.bin \n\nw25\n");
    tmux.Start(TarvikCommand({{1, controller.link()}}), dir.path());
    ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    controller.Read(200, 50);
    tmux.Key("F9");
    EXPECT_EQ(controller.ReadN(5), "LOAD\r");
    tmux.Key("Escape");
    EXPECT_TRUE(tmux.WaitScreen("[Download cancelled]")) << tmux.Screen();
    // A '!' now is plain text.
    controller.Write("ready!");
    EXPECT_TRUE(tmux.WaitScreen("ready!")) << tmux.Screen();
    EXPECT_EQ(controller.Read(500), "");
    tmux.Key("M-x");
    ASSERT_TRUE(tmux.WaitExit());
    EXPECT_EQ(tmux.ExitStatus(), 0);
}

TEST(Upload, AltGFetchesAStoredFileWithItsDate)
{
    Session s;
    mkdir((s.dir / "src").c_str(), 0755);
    std::string data = MakeFile(s.dir / "src/up.bin", 5000, 1600000000);
    s.Start({"--put", "src/up.bin"});
    s.Command("send up.bin");
    ASSERT_TRUE(s.tmux.WaitScreen("waiting for the terminal")) << s.tmux.Screen();
    s.tmux.Key("M-g");
    ASSERT_TRUE(s.tmux.WaitScreen("End of Getfile")) << s.tmux.Screen();
    std::string screen = s.tmux.Screen();
    EXPECT_NE(screen.find("[Call GetFile()]"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Get file name=up.bin,size=5000"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Get file up.bin success"), std::string::npos) << screen;
    EXPECT_TRUE(s.tmux.WaitScreen("Upload done.")) << s.tmux.Screen();
    EXPECT_EQ(ReadFile(s.dir / "up.bin"), data);
    EXPECT_EQ(MTime(s.dir / "up.bin"), 1600000000);
    s.Quit();
}

TEST(Upload, CrcErrorOnceAndThreeTimes)
{
    {
        Session s;
        mkdir((s.dir / "src").c_str(), 0755);
        std::string data = MakeFile(s.dir / "src/c.bin", 700);
        s.Start({"--put", "src/c.bin", "--upload-crc", "2:1"});
        s.Command("send c.bin");
        ASSERT_TRUE(s.tmux.WaitScreen("waiting for the terminal")) << s.tmux.Screen();
        s.tmux.Key("M-g");
        ASSERT_TRUE(s.tmux.WaitScreen("End of Getfile")) << s.tmux.Screen();
        EXPECT_NE(s.tmux.Screen().find("Get file c.bin success"), std::string::npos) << s.tmux.Screen();
        // The progress line overwrites the CRC note: count the answers instead.
        EXPECT_TRUE(s.tmux.WaitScreen("Upload done.")) << s.tmux.Screen();
        EXPECT_EQ(s.sim->Received().substr(s.sim->Received().find("send c.bin\r") + 11),
                  "S\x06\x06\x15\x06\x06");  // record, 1, 2 (twice), 3
        EXPECT_EQ(ReadFile(s.dir / "c.bin"), data);
        s.Quit();
    }
    {
        Session s;
        mkdir((s.dir / "src").c_str(), 0755);
        std::string data = MakeFile(s.dir / "src/c.bin", 700);
        s.Start({"--put", "src/c.bin", "--upload-crc", "2:3"});
        s.Command("send c.bin");
        ASSERT_TRUE(s.tmux.WaitScreen("waiting for the terminal")) << s.tmux.Screen();
        s.tmux.Key("M-g");
        ASSERT_TRUE(s.tmux.WaitScreen("End of Getfile")) << s.tmux.Screen();
        EXPECT_EQ(s.tmux.Screen().find("success"), std::string::npos) << s.tmux.Screen();
        EXPECT_TRUE(s.tmux.WaitScreen("Upload stopped by the terminal.")) << s.tmux.Screen();
        // Two NAKs, then the stop byte instead of a third.
        EXPECT_EQ(s.sim->Received().substr(s.sim->Received().find("send c.bin\r") + 11), "S\x06\x06\x15\x15S");
        // The first block stays on disk beside the name; the rest never came.
        EXPECT_EQ(ReadFile(s.dir / "c.bin.part"), data.substr(0, 256));
        EXPECT_FALSE(FileExists(s.dir / "c.bin"));
        s.Quit();
    }
}

// The blocks must carry the size that the record announced.  Fewer bytes
// (800 announced, 256 + 10 + 0 + 0 sent) or more (300 announced, 256 + 256
// sent): the old file stays, the part is kept and the screen says so, and
// the controller gets the stop byte instead of the last ACK.  An empty file
// is whole: it replaces the old one and leaves no part.
TEST(Upload, TheBlocksMustCarryTheAnnouncedSize)
{
    struct Case {
        std::size_t real;
        std::string announced;
        std::string answers;  // after "send f.bin\r"
        std::size_t kept;     // bytes in f.bin.part
        std::string note;
    };
    for (const Case &c : {Case{266, "800", "S\x06\x06\x06\x06S", 266, "[Get file f.bin incomplete: 266 of 800 bytes"},
                          Case{700, "300", "S\x06\x06S", 512, "[Get file f.bin incomplete: 512 of 300 bytes"}}) {
        Session s;
        mkdir((s.dir / "src").c_str(), 0755);
        std::string data = MakeFile(s.dir / "src/f.bin", c.real);
        s.Start({"--put", "src/f.bin", "--upload-size", c.announced});
        WriteFile(s.dir / "f.bin", "the old file");
        s.Command("send f.bin");
        ASSERT_TRUE(s.tmux.WaitScreen("waiting for the terminal")) << s.tmux.Screen();
        s.tmux.Key("M-g");
        ASSERT_TRUE(s.tmux.WaitScreen("Upload stopped by the terminal.")) << s.tmux.Screen();
        std::string screen = Joined(s.tmux.Screen());
        EXPECT_NE(screen.find(Joined(c.note + "; f.bin is unchanged; the part received is in f.bin.part]")),
                  std::string::npos)
            << screen;
        EXPECT_EQ(screen.find("success"), std::string::npos) << screen;
        EXPECT_EQ(s.sim->Received().substr(s.sim->Received().find("send f.bin\r") + 11), c.answers);
        EXPECT_EQ(ReadFile(s.dir / "f.bin"), "the old file");
        EXPECT_EQ(ReadFile(s.dir / "f.bin.part"), data.substr(0, c.kept));
        s.Quit();
    }
    {
        Session s;
        mkdir((s.dir / "src").c_str(), 0755);
        MakeFile(s.dir / "src/f.bin", 0);
        s.Start({"--put", "src/f.bin"});
        WriteFile(s.dir / "f.bin", "the old file");
        s.Command("send f.bin");
        ASSERT_TRUE(s.tmux.WaitScreen("waiting for the terminal")) << s.tmux.Screen();
        s.tmux.Key("M-g");
        ASSERT_TRUE(s.tmux.WaitScreen("Upload done.")) << s.tmux.Screen();
        std::string screen = s.tmux.Screen();
        EXPECT_NE(screen.find("Get file name=f.bin,size=0"), std::string::npos) << screen;
        EXPECT_EQ(screen.find("incomplete"), std::string::npos) << screen;
        EXPECT_EQ(s.sim->Received().substr(s.sim->Received().find("send f.bin\r") + 11), "S\x06");
        EXPECT_TRUE(FileExists(s.dir / "f.bin"));
        EXPECT_EQ(ReadFile(s.dir / "f.bin"), "");
        EXPECT_FALSE(FileExists(s.dir / "f.bin.part"));
        s.Quit();
    }
}

TEST(Upload, HostileNameIsRefused)
{
    Session s;
    mkdir((s.dir / "src").c_str(), 0755);
    mkdir((s.dir / "work").c_str(), 0755);
    MakeFile(s.dir / "src/h.bin", 100);
    s.sim = nullptr;
    mkdir((s.dir / "store").c_str(), 0755);
    s.sim = std::make_unique<Simulator>(s.dir, std::vector<std::string>{"--put", "src/h.bin", "--upload-name",
                                                                        "../evil.bin"});
    s.tmux.Start(TarvikCommand({{1, s.sim->link()}}), s.dir / "work");
    ASSERT_TRUE(s.tmux.WaitScreen("now baudrate")) << s.tmux.Screen();
    s.Command("send h.bin");
    ASSERT_TRUE(s.tmux.WaitScreen("waiting for the terminal")) << s.tmux.Screen();
    s.tmux.Key("M-g");
    ASSERT_TRUE(s.tmux.WaitScreen("End of Getfile")) << s.tmux.Screen();
    EXPECT_NE(s.tmux.Screen().find("Refused file name \"../evil.bin\""), std::string::npos) << s.tmux.Screen();
    EXPECT_TRUE(s.tmux.WaitScreen("Upload stopped by the terminal.")) << s.tmux.Screen();
    EXPECT_FALSE(FileExists(s.dir / "evil.bin"));
    EXPECT_FALSE(FileExists(s.dir / "work/evil.bin"));
    s.Quit();
}

}  // namespace
