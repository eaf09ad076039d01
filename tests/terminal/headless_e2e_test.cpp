// tarvik --download without a console against quarnix-sim over a
// pseudo-terminal: the file arrives whole, --run starts it with the
// settings' arguments, a refused block fails with status 1, a missing file
// is a usage error, and options that tarvik does not know are named.
#include "e2e.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace e2e;

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs tarvik with args in dir (standard input from /dev/null) and waits
// for its end; every wait of tarvik's is bounded, timeout(1) is the net.
Outcome Tarvik(const TempDir &dir, const std::string &args)
{
    std::string cmd = "cd " + Quote(dir.path()) + " && timeout 120 " + Quote(TarvikPath()) + " " + args +
                      " </dev/null >out.txt 2>err.txt";
    int r = std::system(cmd.c_str());
    Outcome run;
    run.status = WIFEXITED(r) ? WEXITSTATUS(r) : -1;
    run.out = ReadFile(dir / "out.txt");
    run.err = ReadFile(dir / "err.txt");
    return run;
}

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
    Outcome run = Tarvik(line.dir, "-d table.bin --download build/prog.exe --run " + Quote(line.sim->link()));
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
    Outcome run = Tarvik(line.dir, "-d prog.exe --sram " + Quote(line.sim->link()));
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("prog.exe on " + line.sim->link() + ": block 3 of 12"), std::string::npos) << run.err;
    EXPECT_EQ(line.sim->Received().find("runr"), std::string::npos);  // nothing run after a failure
}

TEST(Headless, UsageErrorsEndWithStatusTwoBeforeThePortIsOpened)
{
    Line line;
    MakeFile(line.dir / "prog.exe", 10);
    Outcome missing = Tarvik(line.dir, "-d nosuch.exe --run " + Quote(line.sim->link()));
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("nosuch.exe"), std::string::npos) << missing.err;
    Outcome unknown = Tarvik(line.dir, "-d prog.exe -x " + Quote(line.sim->link()));
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("tarvik: unknown option -x"), std::string::npos) << unknown.err;
    Outcome rate = Tarvik(line.dir, "--baud fast " + Quote(line.sim->link()));
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
    Outcome ran = Tarvik(good.dir, "--script go.F4 " + Quote(good.sim->link()));
    EXPECT_EQ(ran.status, 0) << ran.err;
    EXPECT_TRUE(WaitFor([&] { return ReadFile(good.dir / "store/FLASH.a.bin") == a; }));
    EXPECT_NE(ran.out.find("Ready to receive a file into flash!"), std::string::npos) << ran.out;
    EXPECT_NE(good.sim->Received().find("dir\r"), std::string::npos);  // the line after the download ran

    Line bad({"--nak-block", "2:9"});
    MakeFile(bad.dir / "a.bin", 5000);
    WriteFile(bad.dir / "go.F4", script);
    Outcome failed = Tarvik(bad.dir, "--script go.F4 " + Quote(bad.sim->link()));
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("block 2 of 20"), std::string::npos) << failed.err;
}
