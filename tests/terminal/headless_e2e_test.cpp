// tarvik --download and --script without a console, against quarnix-sim or
// a controller played by the test over a pseudo-terminal: the file arrives
// whole, --run and --sram start it, the first failed step ends the run with
// status 1, usage errors end it with 2 before any port is opened, stdout
// carries the controller's bytes alone (shown, not obeyed, on a terminal),
// and an interruption is said on stderr.
#include "e2e.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace e2e;

namespace {

std::string MakeFile(const std::string &path, std::size_t size)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 31 + i / 256) & 0xFF);
    WriteFile(path, data);
    return data;
}

struct Line {
    TempDir dir;
    std::unique_ptr<Simulator> sim;
    explicit Line(const std::vector<std::string> &options = {})
    {
        mkdir((dir / "store").c_str(), 0755);
        mkdir((dir / "build").c_str(), 0755);
        std::vector<std::string> all = {"--store", "store", "--transfer-timeout", "4000"};
        all.insert(all.end(), options.begin(), options.end());
        sim = std::make_unique<Simulator>(dir, all);
        WriteFile(dir / "tarvik.ini", "C1 B115200 P0 D8 S1\nFother.exe A12 Aabc \n\nw25\n");
    }
};

}  // namespace

TEST(Headless, TwoFilesArriveWholeInOrderAndRunStartsTheLastWithItsArguments)
{
    Line line;
    std::string table = MakeFile(line.dir / "table.bin", 700);
    std::string prog = MakeFile(line.dir / "build/prog.exe", 100 * 1024);
    Outcome run = RunTarvik(line.dir, "-d table.bin --download build/prog.exe --run " + Quote(line.sim->link()));
    ASSERT_EQ(run.status, 0) << run.err << run.out;
    EXPECT_TRUE(ReadFile(line.dir / "store/FLASH.table.bin") == table);
    // Stored under its own name; the controller writes its store after its
    // last answer.
    EXPECT_TRUE(WaitFor([&] { return ReadFile(line.dir / "store/FLASH.prog.exe") == prog; }));
    std::string sent = line.sim->Received();
    EXPECT_EQ(sent.substr(sent.size() - 16), "prog.exe 12 abc\r");
    EXPECT_NE(run.out.find("argv[2]=abc"), std::string::npos) << run.out;
    // One line per file when stderr is not a terminal.
    EXPECT_NE(run.err.find("table.bin: 700 bytes in 3 blocks"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("build/prog.exe: 102400 bytes in 400 blocks"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(line.dir / "tarvik.ini"), "C1 B115200 P0 D8 S1\nFother.exe A12 Aabc \n\nw25\n");
}

TEST(Headless, ABlockRefusedTooOftenFailsWithStatusOneNamingDeviceAndBlock)
{
    Line line({"--nak-block", "3:9"});
    MakeFile(line.dir / "prog.exe", 3000);
    Outcome run = RunTarvik(line.dir, "-d prog.exe --sram " + Quote(line.sim->link()));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("prog.exe on " + line.sim->link() + ": block 3 of 12"), std::string::npos) << run.err;
    EXPECT_EQ(line.sim->Received().find("runr"), std::string::npos);  // nothing run after a failure
}

TEST(Headless, UsageErrorsEndWithStatusTwoBeforeThePortIsOpened)
{
    Line line;
    MakeFile(line.dir / "prog.exe", 10);
    Outcome missing = RunTarvik(line.dir, "-d nosuch.exe --run " + Quote(line.sim->link()));
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("nosuch.exe"), std::string::npos) << missing.err;
    Outcome unknown = RunTarvik(line.dir, "-d prog.exe -q " + Quote(line.sim->link()));
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("tarvik: unknown option -q"), std::string::npos) << unknown.err;
    Outcome rate = RunTarvik(line.dir, "--baud fast " + Quote(line.sim->link()));
    EXPECT_EQ(rate.status, 2);
    EXPECT_NE(rate.err.find("fast"), std::string::npos) << rate.err;
    EXPECT_EQ(line.sim->Received(), "");
}

TEST(Headless, ScriptRunsToItsEndWithTheControllersOutputOnStdoutAndAFailedDownloadGivesOne)
{
    const std::string script = "/load a.bin\n/sendcmd dir\n";
    Line good;
    std::string a = MakeFile(good.dir / "a.bin", 5000);
    WriteFile(good.dir / "go.F4", script);
    Outcome ran = RunTarvik(good.dir, "--script go.F4 " + Quote(good.sim->link()));
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_TRUE(WaitFor([&] { return ReadFile(good.dir / "store/FLASH.a.bin") == a; }));
    EXPECT_NE(ran.out.find("Ready to receive a file into flash!"), std::string::npos) << ran.out;
    EXPECT_NE(good.sim->Received().find("dir\r"), std::string::npos);  // the line after the download ran

    Line bad({"--nak-block", "2:9"});
    MakeFile(bad.dir / "a.bin", 5000);
    WriteFile(bad.dir / "go.F4", script);
    Outcome failed = RunTarvik(bad.dir, "--script go.F4 " + Quote(bad.sim->link()));
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("block 2 of 20"), std::string::npos) << failed.err;
}

namespace {

const std::size_t npos = std::string::npos;
const int UseUtf8 = (setenv("LC_ALL", "C.UTF-8", 1), 0);

std::size_t Count(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// What tarvik sent to the simulator, all of it: a mark written to the line
// after tarvik has ended comes after every byte of tarvik's, so once the
// simulator has the mark it has the rest.
std::string SentInAll(const Simulator &sim)
{
    const std::string mark = "\r#mark\r";
    int fd = open(sim.link().c_str(), O_WRONLY | O_NOCTTY);
    if (fd < 0 || write(fd, mark.data(), mark.size()) != static_cast<ssize_t>(mark.size()))
        ADD_FAILURE() << "cannot write the mark to " << sim.link();
    if (fd >= 0)
        close(fd);
    std::string sent;
    EXPECT_TRUE(WaitFor([&] { return (sent = sim.Received()).find(mark) != npos; }));
    std::size_t at = sent.find(mark);
    return at != npos ? sent.substr(0, at) : sent;
}

// tarvik started in dir with stdout and stderr into out.txt and err.txt,
// for a test that acts while it runs.
pid_t Spawn(const TempDir &dir, const std::vector<std::string> &args)
{
    std::vector<std::string> all = {TarvikPath()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : all)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::string out = dir / "out.txt", err = dir / "err.txt";
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.path().c_str()) != 0)
            _exit(127);
        int in = open("/dev/null", O_RDONLY);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// The status a shell reports for the child: 128 + the signal that ended it.
int Reap(pid_t pid)
{
    int ws = 0;
    if (!WaitFor([&] { return waitpid(pid, &ws, WNOHANG) == pid; }, 60000)) {
        kill(pid, SIGKILL);
        waitpid(pid, &ws, 0);
        return -1;
    }
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : WIFSIGNALED(ws) ? 128 + WTERMSIG(ws) : -1;
}

}  // namespace

// Plain -d sends LOAD and nothing after the file, --run LOAD and the run
// line, --sram LOADR and runr; a device named by a bare word in the working
// directory is the device.
TEST(Headless, EachRunOptionSendsItsReceiveCommandAndRunLine)
{
    struct Case {
        std::string option, command, area, run;
    };
    for (const Case &c : {Case{"", "LOAD\r", "FLASH", ""}, Case{"--run", "LOAD\r", "FLASH", "prog.exe 12 abc\r"},
                          Case{"--sram", "LOADR\r", "SRAM", "runr 12 abc\r"}}) {
        Line line;
        std::string prog = MakeFile(line.dir / "prog.exe", 1000);
        Outcome run = RunTarvik(line.dir, "-d prog.exe " + c.option + " com1");
        ASSERT_EQ(run.status, 0) << c.option << run.err;
        EXPECT_TRUE(WaitFor([&] { return ReadFile(line.dir / ("store/" + c.area + ".prog.exe")) == prog; }))
            << c.option;
        std::string sent = line.sim->Received();
        EXPECT_EQ(sent.substr(0, c.command.size()), c.command) << c.option;
        // The file record and four data blocks, then the run line or nothing.
        ASSERT_GE(sent.size(), c.command.size() + 5 * 260) << c.option;
        EXPECT_EQ(sent.substr(c.command.size() + 5 * 260), c.run) << c.option;
    }
}

// With several files the first failure ends the run: the files after it are
// not offered and nothing is started, whichever file fails.
TEST(Headless, TheFirstFailedFileEndsTheRunAndNothingIsStarted)
{
    struct Case {
        const char *fault;  // block 1 fails the first file; block 5 only the second has
        std::size_t offered;
        const char *failed;
    };
    for (const Case &c : {Case{"1:9", 1, "a.bin"}, Case{"5:9", 2, "b.bin"}}) {
        Line line({"--nak-block", c.fault});
        std::string a = MakeFile(line.dir / "a.bin", 200);
        MakeFile(line.dir / "b.bin", 3000);
        MakeFile(line.dir / "c.bin", 200);
        Outcome run = RunTarvik(line.dir, "-d a.bin -d b.bin -d c.bin --run " + Quote(line.sim->link()));
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_NE(run.err.find(std::string("tarvik: ") + c.failed + " on " + line.sim->link() + ": block "), npos)
            << run.err;
        std::string sent = SentInAll(*line.sim);
        EXPECT_EQ(Count(sent, "LOAD\r"), c.offered) << c.fault;
        EXPECT_EQ(sent.find("c.bin"), npos) << c.fault;     // its record was never sent
        EXPECT_EQ(sent.find(" 12 abc\r"), npos) << c.fault;  // nor a run line
        EXPECT_FALSE(FileExists(line.dir / "store/FLASH.c.bin"));
        if (c.offered == 2) {
            EXPECT_TRUE(WaitFor([&] { return ReadFile(line.dir / "store/FLASH.a.bin") == a; }));
        }
    }
}

// In a script the first failed or impossible step ends the run with status
// 1, naming the script's line, the file and the device; nothing after it is
// sent.  A step in a script run by another is named by its own line.
TEST(Headless, AFailedScriptStepEndsTheRunNamingLineFileAndDevice)
{
    struct Case {
        std::string step, where, what;
        std::vector<std::string> sim;
    };
    const Case cases[] = {
        {"/load nosuch.bin", "go.F4 line 3: nosuch.bin on ", ": cannot open the file: No such file", {}},
        {"/loadr sub", "go.F4 line 3: sub on ", ": cannot open the file: a directory", {}},
        {"/load", "go.F4 line 3: ", ": a download command without a file", {}},
        {"/run nosuch.F4", "go.F4 line 3: nosuch.F4 on ", ": cannot open the script: No such file", {}},
        {"/run sub", "go.F4 line 3: sub on ", ": cannot open the script: a directory", {}},
        {"/run inner.F4", "inner.F4 line 2: nosuch.bin on ", ": cannot open the file: No such file", {}},
        {"/run go.F4", "go.F4 line 3: go.F4 on ", ": cannot run the script: scripts nested more than 16 deep", {}},
        // 8-bit controls in a name (alone and in UTF-8) are named as '?'.
        {"/load a\x9b" "2J\xc2\x9d\xc3\xa9.bin", "go.F4 line 3: a?2J?\xc3\xa9.bin on ", ": cannot open the file: No such",
         {}},
        {"/load a.bin", "go.F4 line 3: a.bin on ", ": block 2 of 4: refused three times (NAK)", {"--nak-block", "2:9"}},
    };
    for (const Case &c : cases) {
        Line line(c.sim);
        MakeFile(line.dir / "a.bin", 1000);
        mkdir((line.dir / "sub").c_str(), 0755);
        WriteFile(line.dir / "go.F4", "/sendcmd before\n\n" + c.step + "\n/sendcmd after\n");
        WriteFile(line.dir / "inner.F4", "// CR LF lines\r\n/load nosuch.bin\r\n/sendcmd inner\r\n");
        Outcome run = RunTarvik(line.dir, "--script go.F4 " + Quote(line.sim->link()));
        EXPECT_EQ(run.status, 1) << c.step << run.err;
        EXPECT_NE(run.err.find("tarvik: " + c.where + line.sim->link() + c.what), npos) << c.step << run.err;
        EXPECT_EQ(Count(run.err, "tarvik: "), 1u) << run.err;
        std::string sent = SentInAll(*line.sim);
        EXPECT_NE(sent.find("before\r"), npos) << c.step;
        EXPECT_EQ(sent.find("after"), npos) << c.step;
        EXPECT_EQ(sent.find("inner\r"), npos) << c.step;
    }
}

// The device going away during a script fails the run, whether the script
// waits in a pause or for a download; the download is not made.  The
// device, named by a word in the working directory, is named by its full
// path.
TEST(Headless, TheDeviceGoingAwayDuringAScriptFailsTheRun)
{
    for (const std::string wait : {"/pause 60000", "/load a.bin"}) {
        Line line;
        MakeFile(line.dir / "a.bin", 1000);
        WriteFile(line.dir / "go.F4", "/sendcmd hangup\n" + wait + "\n/load a.bin\n");
        ASSERT_EQ(line.sim->link(), line.dir / "com1");
        Outcome run = RunTarvik(line.dir, "--script go.F4 com1");
        EXPECT_EQ(run.status, 1) << wait << run.err;
        EXPECT_NE(run.err.find("tarvik: go.F4 line "), npos) << wait << run.err;
        EXPECT_NE(run.err.find(line.sim->link() + ": the device has gone"), npos) << wait << run.err;
        EXPECT_FALSE(FileExists(line.dir / "store/FLASH.a.bin")) << wait;
    }
}

// stdout carries the controller's bytes alone: tarvik's own lines (the bit
// rates, a bad '/' option, a bad setting, a script's variable) go to stderr,
// and no escape sequence goes into either file.
TEST(Headless, OwnTextGoesToStderrAndNoEscapeSequenceIntoAFile)
{
    Line line;
    // Values with escape sequences: shown, but not as sequences.
    WriteFile(line.dir / "tarvik.ini", "C1 B115200 P0 D8 S1 Dx\x1b]2;t\x07\nB\x1b[?1049h\n");
    MakeFile(line.dir / "prog.exe", 300);
    WriteFile(line.dir / "go.F4", "//I:v=3\n//P:v\n/cls\n/load prog.exe\n");
    for (const std::string args : {"-d prog.exe --run /B0 /cls ", "--script go.F4 /B0 /cls "}) {
        Outcome run = RunTarvik(line.dir, args + Quote(line.sim->link()));
        EXPECT_EQ(run.status, 0) << args << run.err;
        for (const char *own :
             {"original baudrate = ", "now baudrate = ", "Cannot use /B0", "Bad setting Dx", "Cannot use B"}) {
            EXPECT_EQ(run.out.find(own), npos) << args << own << run.out;
            EXPECT_NE(run.err.find(own), npos) << args << own << run.err;
        }
        EXPECT_NE(run.out.find("Ready to receive a file into flash!"), npos) << args << run.out;
        EXPECT_EQ(run.out.find('\x1b'), npos) << args << run.out;
        EXPECT_EQ(run.err.find('\x1b'), npos) << args << run.err;
        if (args[0] == '-')
            continue;
        EXPECT_EQ(run.out.find("[v=3]"), npos) << run.out;
        EXPECT_NE(run.err.find("[v=3]"), npos) << run.err;
    }
}

// Usage errors end the run with status 2 before any port is opened: the
// device named and COM1 of the settings hear nothing.
TEST(Headless, UsageIsCheckedBeforeAnyPortIsOpened)
{
    Line line;
    Simulator fallback(line.dir, {"--quiet"}, "fallback");
    MakeFile(line.dir / "prog.exe", 10);
    MakeFile(line.dir / "plain.txt", 10);
    WriteFile(line.dir / "go.F4", "/sendcmd ver\n");
    mkdir((line.dir / "sub").c_str(), 0755);
    ASSERT_EQ(mkfifo((line.dir / "pipe").c_str(), 0644), 0);
    const std::string dev = " " + Quote(line.sim->link());
    const std::pair<std::string, std::string> cases[] = {
        {"--sram" + dev, "--run and --sram need"},
        {"--run" + dev, "--run and --sram need"},
        {"--sram --script go.F4" + dev, "--run and --sram need"},
        {"-d sub --run" + dev, "sub: a directory"},
        {"-d /dev/null" + dev, "/dev/null: not a regular file"},
        {"-d pipe --sram" + dev, "pipe: not a regular file"},
        {"-d prog.exe -d sub" + dev, "sub: a directory"},
        {"--script sub" + dev, "sub: a directory"},
        {"--script pipe" + dev, "pipe: not a regular file"},
        {"-d prog.exe ctl", "ctl: no such device"},
        {"--script go.F4 ctl", "ctl: no such device"},
        {"-d prog.exe plain.txt", "plain.txt: not a device"},
        {"--script go.F4 com1 fallback", "more than one device: com1 and fallback"},
        {"-d prog.exe /C7", "/C7 names /nonexistent/ttyX"},
        {"-d prog.exe /C0" + dev, "no such port /C0"},
    };
    for (const auto &c : cases) {
        Outcome run = RunTarvik(line.dir, c.first, "TARVIK_COM1=" + Quote(fallback.link()) + " TARVIK_COM7=/nonexistent/ttyX");
        EXPECT_EQ(run.status, 2) << c.first << run.err;
        EXPECT_NE(run.err.find(c.second), npos) << c.first << run.err;
        EXPECT_EQ(run.out, "") << c.first;
    }
    EXPECT_EQ(SentInAll(*line.sim), "");
    EXPECT_EQ(SentInAll(fallback), "");
}

namespace {

// The controller's words before its '!' and the program's after the run
// line, with sequences that would set the title and the clipboard, turn the
// alternate screen on and ask the terminal for reports.
const std::string BeforeReady = "\x1b]0;pwned\x07\x1b]52;c;cHduZWQ=\x07\x1b[?1049h\x1b[6n\x1b[c<ready";
const std::string AfterRun = "\x1b]2;pwned\x07\x1b[?1049h\x1b[6n<tail>\r\n";

// The controller of `tarvik -d p.bin --run` for a file of one block, or
// of a script's /load p.bin (no run line).
void PlayController(PtyPeer &com1, bool run = true)
{
    ASSERT_EQ(com1.ReadN(5, 30000), "LOAD\r");
    com1.Write(BeforeReady + "!");
    ASSERT_EQ(com1.ReadN(260, 30000).size(), 260u);
    com1.Write("\x06");
    ASSERT_EQ(com1.ReadN(260, 30000).size(), 260u);
    com1.Write("\x06");
    if (!run)
        return;
    ASSERT_EQ(com1.ReadN(6, 30000), "p.bin\r");
    com1.Write(AfterRun);
}

}  // namespace

// On a terminal the controller's bytes go through the session's display,
// for a download and for a script: the title and the screen mode stay, the
// sequences (the requests for reports among them) are shown as text.  Into
// a file they go unchanged.
TEST(Headless, ControllerBytesAreShownOnATerminalAndCopiedIntoAFile)
{
    (void)UseUtf8;
    for (const bool script : {false, true}) {
        TempDir dir;
        PtyPeer com1(dir);
        WriteFile(dir / "p.bin", "0123456789");
        WriteFile(dir / "go.F4", "/load p.bin\n");
        Tmux tmux(100, 30);
        tmux.Start(TarvikCommand({}, (script ? "--script go.F4 " : "-d p.bin --run ") + Quote(com1.link())),
                   dir.path());
        PlayController(com1, !script);
        ASSERT_TRUE(tmux.WaitExit(30000)) << tmux.Screen();
        EXPECT_EQ(tmux.ExitStatus(), 0) << tmux.Screen();
        std::string screen = tmux.Screen();
        EXPECT_NE(screen.find("\u2190]0;pwned"), npos) << screen;
        EXPECT_NE(screen.find("\u2190[6n\u2190[c<ready"), npos) << screen;
        EXPECT_EQ(screen.find("<tail>") != npos, !script) << screen;
        EXPECT_EQ(tmux.Title().find("pwned"), npos) << tmux.Title();
        EXPECT_EQ(tmux.Format("#{alternate_on}"), "0");
    }
    TempDir dir;
    PtyPeer com1(dir);
    WriteFile(dir / "p.bin", "0123456789");
    Outcome run;
    std::thread tarvik([&] { run = RunTarvik(dir, "-d p.bin --run " + Quote(com1.link())); });
    PlayController(com1);
    tarvik.join();
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(run.out == BeforeReady + "!" + AfterRun) << run.out;
}

// SIGINT, SIGTERM and SIGHUP end a headless run with the shell's status
// 130, 143 and 129 and one line on stderr saying what was under way: a
// block of a file, the wait for the controller's '!', a script's pause.
TEST(Headless, AnInterruptionEndsTheRunWithItsStatusAndOneLine)
{
    {
        Line line({"--line-rate", "115200"});
        MakeFile(line.dir / "big.bin", 100 * 1024);
        pid_t pid = Spawn(line.dir, {"-d", "big.bin", line.sim->link()});
        ASSERT_TRUE(WaitFor([&] { return line.sim->Received().size() > 5 + 3 * 260; }, 30000));
        SendEndingSignal(pid, SIGINT);
        EXPECT_EQ(Reap(pid), 130);
        std::string err = ReadFile(line.dir / "err.txt");
        EXPECT_NE(err.find("tarvik: interrupted during block "), npos) << err;
        EXPECT_NE(err.find(" of 400 of big.bin (" + line.sim->link() + ")\n"), npos) << err;
        EXPECT_EQ(Count(err, "interrupted"), 1u) << err;
    }
    {
        TempDir dir;
        PtyPeer com1(dir);
        WriteFile(dir / "p.bin", "0123456789");
        pid_t pid = Spawn(dir, {"-d", "p.bin", com1.link()});
        ASSERT_EQ(com1.ReadN(5, 30000), "LOAD\r");
        SendEndingSignal(pid, SIGTERM);
        EXPECT_EQ(Reap(pid), 143);
        std::string err = ReadFile(dir / "err.txt");
        EXPECT_NE(err.find("tarvik: interrupted while the controller was asked to take p.bin (" + com1.link() + ")\n"),
                  npos)
            << err;
        EXPECT_EQ(Count(err, "interrupted"), 1u) << err;
    }
    TempDir dir;
    PtyPeer com1(dir);
    WriteFile(dir / "go.F4", "/sendcmd hi\n/pause 60000\n");
    pid_t pid = Spawn(dir, {"--script", "go.F4", com1.link()});
    ASSERT_EQ(com1.ReadN(3, 30000), "hi\r");
    SendEndingSignal(pid, SIGHUP);
    EXPECT_EQ(Reap(pid), 129);
    std::string err = ReadFile(dir / "err.txt");
    EXPECT_NE(err.find("tarvik: interrupted (" + com1.link() + ")\n"), npos) << err;
    EXPECT_EQ(Count(err, "interrupted"), 1u) << err;
}
