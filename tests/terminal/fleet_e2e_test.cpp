// tarvik -d FILE ... DEVICE DEVICE ...: every device gets the files, each
// over its own pseudo-terminal to its own quarnix-sim; a device that fails
// does not stop the others; the exit status and the --report lines say
// what happened to each; a report that cannot be written is never silent.
#include "e2e.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace e2e;

namespace {

const std::size_t npos = std::string::npos;

std::string MakeFile(const std::string &path, std::size_t size, int seed)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 31 + i / 256 + static_cast<std::size_t>(seed)) & 0xFF);
    WriteFile(path, data);
    return data;
}

// A row of controllers in one directory: simulator i publishes com<i> and
// stores what it receives in store<i>/.  faulty: the index of the one that
// refuses block 3 of every file (-1: none).
struct Row {
    TempDir dir;
    std::vector<std::unique_ptr<Simulator>> sims;
    std::string a, b;  // the two files, 700 and 3000 bytes
    Row(int count, int faulty)
    {
        for (int i = 0; i < count; ++i) {
            std::string store = "store" + std::to_string(i);
            mkdir((dir / store).c_str(), 0755);
            std::vector<std::string> opts = {"--store", store, "--transfer-timeout", "4000"};
            if (i == faulty) {
                opts.push_back("--nak-block");
                opts.push_back("3:9");
            }
            sims.push_back(std::make_unique<Simulator>(dir, opts, "com" + std::to_string(i)));
        }
        a = MakeFile(dir / "a.bin", 700, 1);
        b = MakeFile(dir / "b.bin", 3000, 2);
        WriteFile(dir / "tarvik.ini", "C1 B115200 P0 D8 S1\nFother.exe A12 Aabc \n\nw25\n");
    }
    std::string Devices() const
    {
        std::string words;
        for (std::size_t i = 0; i < sims.size(); ++i)
            words += " com" + std::to_string(i);
        return words;
    }
    bool Stored(std::size_t i, const std::string &area, const std::string &name, const std::string &data) const
    {
        return WaitFor([&] { return ReadFile(dir / ("store" + std::to_string(i) + "/" + area + "." + name)) == data; });
    }
};

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::string OkLine(const std::string &device, long bytes)
{
    return "{\"device\":\"" + device + "\",\"files\":[\"a.bin\",\"b.bin\"],\"bytes\":" + std::to_string(bytes) +
           ",\"seconds\":";
}

}  // namespace

// Three controllers, two files each: all arrive, one report line per
// device in the order given, one progress line per device and file, and
// each controller's output on stdout behind its device's name.
TEST(Fleet, EveryDeviceGetsEveryFileAndTheReportSaysSo)
{
    Row row(3, -1);
    Outcome run = RunTarvik(row.dir, "-d a.bin -d b.bin --report report.json" + row.Devices());
    ASSERT_EQ(run.status, 0) << run.err;
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(row.Stored(i, "FLASH", "a.bin", row.a)) << i;
        EXPECT_TRUE(row.Stored(i, "FLASH", "b.bin", row.b)) << i;
    }
    std::vector<std::string> report = Lines(ReadFile(row.dir / "report.json"));
    ASSERT_EQ(report.size(), 3u) << ReadFile(row.dir / "report.json");
    for (std::size_t i = 0; i < 3; ++i) {
        std::string dev = "com" + std::to_string(i);
        EXPECT_EQ(report[i].rfind(OkLine(dev, 3700), 0), 0u) << report[i];
        EXPECT_NE(report[i].find(",\"status\":\"ok\",\"error\":null}"), npos) << report[i];
        EXPECT_NE(run.err.find(dev + ": tarvik: a.bin: 700 bytes in 3 blocks"), npos) << run.err;
        EXPECT_NE(run.err.find(dev + ": tarvik: b.bin: 3000 bytes in 12 blocks"), npos) << run.err;
        EXPECT_NE(run.out.find(dev + ": Ready to receive a file into flash!"), npos) << run.out;
    }
    EXPECT_EQ(run.err.find("progress"), npos) << run.err;
    EXPECT_NE(run.err.find("tarvik: 3 devices: 3 done, 0 failed"), npos) << run.err;
    // Every line of stdout belongs to a device.
    for (const std::string &line : Lines(run.out))
        EXPECT_TRUE(line.rfind("com0: ", 0) == 0 || line.rfind("com1: ", 0) == 0 || line.rfind("com2: ", 0) == 0)
            << line;
}

// One controller of three refuses a block, first, middle or last in the
// row: the status is 1, the others get both files and start them
// (--sram: runr), the failed one starts nothing, and its report line names
// the file and the block with the bytes confirmed before it.
TEST(Fleet, AFailedDeviceDoesNotStopTheOthersAndItsBlockIsNamed)
{
    for (int faulty = 0; faulty < 3; ++faulty) {
        Row row(3, faulty);
        Outcome run = RunTarvik(row.dir, "-d a.bin -d b.bin --sram --report r.json" + row.Devices());
        EXPECT_EQ(run.status, 1) << faulty << run.err;
        std::vector<std::string> report = Lines(ReadFile(row.dir / "r.json"));
        ASSERT_EQ(report.size(), 3u) << faulty;
        for (int i = 0; i < 3; ++i) {
            std::string dev = "com" + std::to_string(i);
            std::string sent = row.sims[static_cast<std::size_t>(i)]->Received();
            const std::string &line = report[static_cast<std::size_t>(i)];
            if (i == faulty) {
                EXPECT_EQ(line.rfind("{\"device\":\"" + dev + "\",\"files\":[\"a.bin\",\"b.bin\"],\"bytes\":512,", 0), 0u)
                    << line;
                const std::string tail = ",\"status\":\"failed\",\"error\":\"a.bin on " + (row.dir / dev) +
                                         ": block 3 of 3: refused three times (NAK)\"}";
                EXPECT_TRUE(line.size() > tail.size() && line.substr(line.size() - tail.size()) == tail) << line;
                EXPECT_EQ(sent.find("runr"), npos) << faulty;
                EXPECT_FALSE(FileExists(row.dir / ("store" + std::to_string(i) + "/SRAM.b.bin"))) << faulty;
            } else {
                EXPECT_EQ(line.rfind(OkLine(dev, 3700), 0), 0u) << line;
                EXPECT_TRUE(row.Stored(static_cast<std::size_t>(i), "SRAM", "a.bin", row.a)) << faulty << i;
                EXPECT_TRUE(row.Stored(static_cast<std::size_t>(i), "SRAM", "b.bin", row.b)) << faulty << i;
                EXPECT_TRUE(WaitFor([&] { return row.sims[static_cast<std::size_t>(i)]->Received().find("runr 12 abc\r") != npos; }))
                    << faulty << i;
            }
        }
        EXPECT_NE(run.err.find("com" + std::to_string(faulty) + ": tarvik: a.bin on " + (row.dir / ("com" + std::to_string(faulty))) +
                               ": block 3 of 3: refused three times (NAK)"),
                  npos)
            << run.err;
        EXPECT_NE(run.err.find("tarvik: 3 devices: 2 done, 1 failed"), npos) << run.err;
    }
}

// --run starts the last file on each device that got everything, and a
// device that is not there fails alone; without --report too.
TEST(Fleet, AMissingDeviceFailsAloneAndRunStartsTheOthers)
{
    Row row(2, -1);
    Outcome run = RunTarvik(row.dir, "-d a.bin -d b.bin --run com0 nosuch com1");
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("nosuch: tarvik: nosuch: no such device"), npos) << run.err;
    EXPECT_NE(run.err.find("tarvik: 3 devices: 2 done, 1 failed"), npos) << run.err;
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(row.Stored(i, "FLASH", "b.bin", row.b)) << i;
        EXPECT_TRUE(WaitFor([&] { return row.sims[i]->Received().find("b.bin 12 abc\r") != npos; })) << i;
    }
    EXPECT_NE(run.out.find("com1: Start b.bin from FLASH"), npos) << run.out;
}

// Device names with quotes, backslashes and control bytes, and bytes that
// are not UTF-8, come out as valid JSON strings.
TEST(Fleet, TheReportEscapesNamesAsJson)
{
    Row row(0, -1);
    mkdir((row.dir / "s").c_str(), 0755);
    Simulator sim(row.dir, {"--store", "s"}, "q\"b\\s\tx");
    Outcome run = RunTarvik(row.dir, "-d a.bin --report r.json " + Quote("q\"b\\s\tx") + " " + Quote("n\x01\xff\xc3\xa9"));
    EXPECT_EQ(run.status, 1) << run.err;
    std::vector<std::string> report = Lines(ReadFile(row.dir / "r.json"));
    ASSERT_EQ(report.size(), 2u);
    EXPECT_EQ(report[0].rfind("{\"device\":\"q\\\"b\\\\s\\u0009x\",\"files\":[\"a.bin\"],\"bytes\":700,", 0), 0u)
        << report[0];
    EXPECT_EQ(report[1].rfind("{\"device\":\"n\\u0001\\ufffd\xc3\xa9\",\"files\":[\"a.bin\"],\"bytes\":0,", 0), 0u)
        << report[1];
    EXPECT_NE(report[1].find("\"status\":\"failed\",\"error\":\"n?\\ufffd\xc3\xa9: no such device\"}"), npos) << report[1];
}

// A report that cannot be written, or that would replace a file of the
// run, ends it with status 2 before any port is opened; a link planted at
// its place is replaced, not written through.  A second device with
// --script stays a usage error, and so does one device named twice.
TEST(Fleet, AReportThatCannotBeWrittenIsAUsageErrorAndALinkIsNotFollowed)
{
    Row row(2, -1);
    mkdir((row.dir / "sub").c_str(), 0755);
    WriteFile(row.dir / "go.F4", "/sendcmd ver\n");
    const std::pair<std::string, std::string> cases[] = {
        {"-d a.bin --report nodir/r.json" + row.Devices(), "cannot write the report nodir/r.json: No such file"},
        {"-d a.bin --report sub" + row.Devices(), "the report is a directory: sub"},
        {"-d a.bin -d b.bin --report b.bin" + row.Devices(), "the report would replace the file to download b.bin"},
        {"-d a.bin --report com1" + row.Devices(), "the report would replace com1"},
        {"--report r.json com0", "--report needs --download FILE"},
        {"-d a.bin -l log.txt" + row.Devices(), "-l takes one device"},
        {"--script go.F4" + row.Devices(), "more than one device: com0 and com1"},
        {"-d a.bin com0 com1 com0", "one device named twice: com0"},
        {"-d a.bin com0 " + Quote(row.sims[0]->link()), "one device named twice: " + row.sims[0]->link()},
    };
    for (const auto &c : cases) {
        Outcome run = RunTarvik(row.dir, c.first);
        EXPECT_EQ(run.status, 2) << c.first << run.err;
        EXPECT_NE(run.err.find("tarvik: " + c.second), npos) << c.first << run.err;
    }
    EXPECT_EQ(row.sims[0]->Received(), "");
    EXPECT_EQ(row.sims[1]->Received(), "");
    EXPECT_EQ(ReadFile(row.dir / "b.bin"), row.b);

    WriteFile(row.dir / "victim.txt", "keep");
    ASSERT_EQ(symlink((row.dir / "victim.txt").c_str(), (row.dir / "r.json").c_str()), 0);
    Outcome run = RunTarvik(row.dir, "-d a.bin --report r.json com0");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ReadFile(row.dir / "victim.txt"), "keep");
    struct stat st;
    ASSERT_EQ(lstat((row.dir / "r.json").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadFile(row.dir / "r.json").rfind("{\"device\":\"com0\",\"files\":[\"a.bin\"],\"bytes\":700,", 0), 0u);
}

// On a terminal: one bar per device, ending as "done" or "FAILED", the
// failure named below the bars; the controllers' lines behind their names.
TEST(Fleet, OnATerminalEachDeviceHasItsBar)
{
    Row row(2, 1);
    Tmux tmux(120, 30);
    tmux.Start(TarvikCommand({}, "-d a.bin -d b.bin" + row.Devices()), row.dir.path());
    ASSERT_TRUE(tmux.WaitExit(60000)) << tmux.Screen();
    EXPECT_EQ(tmux.ExitStatus(), 1) << tmux.Screen();
    std::string screen = tmux.Screen();
    EXPECT_NE(screen.find("com0 done, 3700 bytes"), npos) << screen;
    EXPECT_NE(screen.find("com1 FAILED"), npos) << screen;
    EXPECT_NE(screen.find("com1: failed: a.bin on " + (row.dir / "com1") + ": block 3 of 3"), npos) << screen;
    EXPECT_NE(screen.find("com0: Ready to receive a file into flash!"), npos) << screen;
    EXPECT_EQ(screen.find("progress"), npos) << screen;
    EXPECT_EQ(screen.find("original baudrate"), npos) << screen;
}

// Each device's own run takes the line format of the command line.
TEST(Fleet, EveryDeviceTakesTheLineFormat)
{
    TempDir dir;
    PtyPeer p0(dir, "com0"), p1(dir, "com1");
    MakeFile(dir / "a.bin", 300, 3);
    Process run;
    run.Start({TarvikPath(), "-d", "a.bin", "--parity=odd", "--stopbits", "2", "--flow=rtscts", "--report", "r.json",
               p0.link(), p1.link()},
              dir.path());
    for (PtyPeer *p : {&p0, &p1}) {
        ASSERT_NE(p->ReadN(4, 60000).find("LOAD"), npos);
        termios t{};
        ASSERT_EQ(tcgetattr(p->slave_fd(), &t), 0);
        EXPECT_NE(t.c_cflag & PARODD, 0u);
        EXPECT_NE(t.c_cflag & CSTOPB, 0u);
        EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
    }
    run.Stop();
}
