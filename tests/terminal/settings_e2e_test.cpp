// Settings that tarvik.ini cannot hold are not taken, and the file is never
// left cut off: tarvik in a tmux pane on a test-held pseudo-terminal.
#include "e2e.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace e2e;

namespace {

struct Session {
    TempDir dir;
    PtyPeer com1{dir, "com1"};
    Tmux tmux;

    // limit: shell commands run before tarvik, in a subshell of its own.
    void Start(const std::string &args = "", const std::string &limit = "")
    {
        std::string cmd = TarvikCommand({{1, com1.link()}}, args);
        if (!limit.empty())
            cmd = "(" + limit + " exec " + cmd + ")";
        tmux.Start(cmd, dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
    }
    void Answer(const std::string &prompt, const std::string &text)
    {
        ASSERT_TRUE(tmux.WaitScreen(prompt)) << tmux.Screen();
        tmux.Type(text);
        tmux.Key("Enter");
    }
    void Quit()
    {
        tmux.Key("M-x");
        ASSERT_TRUE(tmux.WaitExit()) << tmux.Screen();
    }
};

// A blank in an F2, ALT_F2 or F6 entry would read back as another setting:
// such an entry is refused at the prompt, the list prompts ask again.
TEST(Settings, EntriesWithBlanksAreRefusedAtThePrompt)
{
    Session s;
    WriteFile(s.dir / "tarvik.ini", "C1 B115200 P0 D8 S1\nFold.exe \n\nw25\n");
    s.Start();
    s.tmux.Key("F2");
    s.Answer("Input filename:", "my prog.exe");
    ASSERT_TRUE(s.tmux.WaitScreen("auto download the file:old.exe")) << s.tmux.Screen();
    s.tmux.Key("M-F2");
    s.Answer("Input filename 1(", "a b.exe");
    s.Answer("not taken:a b.exe", "dir\\c.exe");
    s.Answer("Input filename 2(", "");
    ASSERT_TRUE(s.tmux.WaitScreen("these file(s): dir\\c.exe")) << s.tmux.Screen();
    s.tmux.Key("F6");
    s.Answer("Input parameters 1(", "x\ty");
    s.Answer("Input parameters 1(", "12");
    s.Answer("Input parameters 2(", "*");
    ASSERT_TRUE(s.tmux.WaitScreen("the command is:old.exe 12")) << s.tmux.Screen();
    s.Quit();
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini"), "C1 B115200 P0 D8 S1\nFold.exe A12 \nXdir\\c.exe \nw25\n");
}

// /B0 (a hang-up on a real line), /Bx, /F9 and B0 in the file are refused
// with a message; the previous values stay and are saved.
TEST(Settings, BadRateAndFlowControlAreRefused)
{
    Session s;
    WriteFile(s.dir / "tarvik.ini", "C1 B0 P0 D8 S1\nF \n\nw25\n");
    s.Start("/B9600 /B0 /Bx /F9");
    std::string screen = s.tmux.Screen();
    EXPECT_NE(screen.find("Cannot use B0, the bit rate stays 115200"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Cannot use /B0, the bit rate stays 9600"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Cannot use /Bx, the bit rate stays 9600"), std::string::npos) << screen;
    EXPECT_NE(screen.find("Cannot use /F9 (flow control 0..3), it stays 0"), std::string::npos) << screen;
    EXPECT_TRUE(s.tmux.WaitTitle("[COM1:9600,N,8,1],FC=0")) << s.tmux.Title();
    s.Quit();
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini"), "C1 B9600 P0 D8 S1\nF \n\nw25\n");
}

// A disk that takes no more bytes (a file-size limit of 0) at the end: the
// old tarvik.ini stays whole and the failure is reported.
TEST(Settings, FailedWriteKeepsTheOldFile)
{
    Session s;
    const std::string old = "C1 B19200 P0 D8 S1\nFkeep.exe \n\nw25\n";
    WriteFile(s.dir / "tarvik.ini", old);
    s.Start("", "trap '' XFSZ; ulimit -f 0;");
    s.Quit();
    EXPECT_NE(s.tmux.Screen().find("Cannot write tarvik.ini: File too large"), std::string::npos) << s.tmux.Screen();
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini"), old);
    EXPECT_FALSE(FileExists(s.dir / "tarvik.ini.tmp"));
}

std::vector<std::string> Names(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

bool IsLink(const std::string &path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// A link planted where the temporary file used to be made: the save does
// not write through it, and leaves no temporary file behind.
TEST(Settings, SaveWritesThroughNoPlantedLink)
{
    Session s;
    WriteFile(s.dir / "victim.txt", "keep\n");
    WriteFile(s.dir / "tarvik.ini", "C1 B115200 P0 D8 S1\nF \n\nw25\n");
    ASSERT_EQ(symlink("victim.txt", (s.dir / "tarvik.ini.tmp").c_str()), 0);
    s.Start("/B19200");
    s.Quit();
    EXPECT_EQ(ReadFile(s.dir / "victim.txt"), "keep\n");
    EXPECT_FALSE(IsLink(s.dir / "tarvik.ini"));
    EXPECT_EQ(ReadFile(s.dir / "tarvik.ini"), "C1 B19200 P0 D8 S1\nF \n\nw25\n");
    EXPECT_TRUE(IsLink(s.dir / "tarvik.ini.tmp"));
    for (const std::string &name : Names(s.dir.path()))
        EXPECT_TRUE(name.rfind("tarvik.ini.tmp", 0) != 0 || name == "tarvik.ini.tmp") << name;
}

// tarvik.ini as a link: to a file with nothing but bad lines (another kind
// of file) or to nothing, it is kept and the screen says so; to a file with
// one good line among bad ones, or to an empty file, the settings are
// written through it.
TEST(Settings, ALinkToAFileNotReadAsSettingsIsKept)
{
    const std::string kept = "[tarvik.ini is a link to a file that was not read as settings: it is kept, and the "
                              "settings are not saved]";
    struct Case {
        std::string target;  // empty: the link leads nowhere
        std::string text;
        bool written;
    };
    for (const Case &c : {Case{"other.txt", "root:x:0:0:root:/root:/bin/bash\nhello world\n", false},
                          Case{"", "", false}, Case{"mixed.ini", "C1 B9600 P0 D8 S1\nnot settings\n", true},
                          Case{"empty.ini", "", true}}) {
        Session s;
        std::string target = c.target.empty() ? "missing.ini" : c.target;
        if (!c.target.empty())
            WriteFile(s.dir / target, c.text);
        ASSERT_EQ(symlink(target.c_str(), (s.dir / "tarvik.ini").c_str()), 0);
        s.Start("/B19200");
        s.Quit();
        std::string screen = Joined(s.tmux.Screen());
        EXPECT_TRUE(IsLink(s.dir / "tarvik.ini")) << target;
        if (c.written) {
            EXPECT_EQ(screen.find(Joined(kept)), std::string::npos) << screen;
            EXPECT_EQ(ReadFile(s.dir / target), "C1 B19200 P0 D8 S1\nF \n\nw25\n") << target;
        } else {
            EXPECT_NE(screen.find(Joined(kept)), std::string::npos) << screen;
            EXPECT_EQ(ReadFile(s.dir / target), c.text) << target;
            EXPECT_EQ(FileExists(s.dir / target), !c.target.empty()) << target;
        }
    }
}

}  // namespace
