// What the controller sends or a file holds cannot harm the user: tarvik in
// a tmux pane against quarnix-sim or a pseudo-terminal held by the test.
// Uploads never replace tarvik's own files nor destroy a file on failure;
// received bytes and file text never drive the user's terminal; answers of
// the terminal are not keys; download sequences, scripts, settings values,
// relative device paths and the exit status end as they should.
#include "e2e.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <sys/stat.h>

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

}  // namespace
