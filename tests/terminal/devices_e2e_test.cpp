// Which serial devices the system has (tarvik --list, on a made-up /dev and
// /sys), and the low latency that tarvik asks of a port's driver: set when
// the port opens, put back when it closes, by every way out, and left alone
// with --no-low-latency (a pseudo-terminal given the driver's setting by
// the preloaded lowlatency library, which writes down each change).
#include "e2e.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace e2e;
namespace fs = std::filesystem;

namespace {

// Runs a shell command line; its standard output, and its exit status in *status.
std::string Shell(const std::string &cmd, int *status)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    char buf[512];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int rc = pclose(p);
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string List(const std::string &root, int *status)
{
    return Shell("env TARVIK_LIST_ROOT=" + Quote(root) + " " + Quote(TarvikPath()) + " --list", status);
}

// A sysfs port: /sys/class/tty/name with its device link to devices/path,
// whose driver is bus/driverPath; /dev/name beside it.
void AddPort(const fs::path &root, const std::string &name, const std::string &path, const std::string &driverPath)
{
    fs::path dev = root / "sys/devices" / path;
    fs::create_directories(dev);
    fs::create_directories(root / "sys/bus" / driverPath);
    fs::create_symlink(fs::relative(root / "sys/bus" / driverPath, dev), dev / "driver");
    fs::path cls = root / "sys/class/tty" / name;
    fs::create_directories(cls);
    fs::create_symlink(fs::relative(dev, cls), cls / "device");
    fs::create_directories(root / "dev");
    WriteFile((root / "dev" / name).string(), "");
}

// A port of the serial core (ttyS, on a newer kernel: port and controller
// devices of bus serial-base between it and the hardware) with UART type.
void AddCorePort(const fs::path &root, const std::string &name, const std::string &hw, const std::string &driver,
                 const std::string &type)
{
    std::string base = hw + "/" + name + "-ctrl/" + name + "-port";
    AddPort(root, name, base, "serial-base/drivers/port");
    fs::path ctrl = root / "sys/devices" / hw / (name + "-ctrl");
    fs::create_directories(root / "sys/bus/serial-base/drivers/ctrl");
    fs::create_symlink(fs::relative(root / "sys/bus/serial-base/drivers/ctrl", ctrl), ctrl / "driver");
    fs::path hwDir = root / "sys/devices" / hw;
    if (!fs::exists(hwDir / "driver")) {
        fs::create_directories(root / "sys/bus/platform/drivers" / driver);
        fs::create_symlink(fs::relative(root / "sys/bus/platform/drivers" / driver, hwDir), hwDir / "driver");
    }
    WriteFile((root / "sys/class/tty" / name / "type").string(), type + "\n");
}

void UsbDevice(const fs::path &root, const std::string &path, const std::string &vendor, const std::string &product,
               const std::string &serial)
{
    fs::path d = root / "sys/devices" / path;
    fs::create_directories(d);
    WriteFile((d / "idVendor").string(), vendor + "\n");
    WriteFile((d / "idProduct").string(), product + "\n");
    if (!serial.empty())
        WriteFile((d / "serial").string(), serial + "\n");
}

// What has no hardware behind it: a virtual console (no device), a ttyS
// where no UART answered (type 0), a by-id link left by a device that has
// gone.
void AddNothingReal(const fs::path &root)
{
    fs::create_directories(root / "sys/class/tty/tty0");
    WriteFile((root / "dev/tty0").string(), "");
    AddCorePort(root, "ttyS1", "platform/serial8250", "serial8250", "0");
    fs::create_directories(root / "dev/serial/by-id");
    fs::create_symlink("../../ttyUSB7", root / "dev/serial/by-id/usb-Gone_Adapter_X1-if00-port0");
}

TEST(DeviceList, NamesEachDeviceWithItsDriverAndUsbIdentity)
{
    TempDir dir;
    fs::path root = dir.path();
    fs::create_directories(root / "dev");
    AddNothingReal(root);
    // A USB adapter behind a by-id link, a USB modem-class port without a
    // serial number, an ARM board's UART, two real ttyS (2 before 10).
    UsbDevice(root, "pci0000:00/usb1/1-1", "0403", "6001", "A50285BI");
    AddPort(root, "ttyUSB0", "pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0", "usb-serial/drivers/ftdi_sio");
    fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    UsbDevice(root, "pci0000:00/usb1/1-2", "2341", "0043", "");
    AddPort(root, "ttyACM0", "pci0000:00/usb1/1-2/1-2:1.0", "usb/drivers/cdc_acm");
    AddPort(root, "ttyAMA0", "platform/fe201000.serial", "amba/drivers/uart-pl011");
    AddCorePort(root, "ttyS10", "pnp0/00:05", "serial", "4");
    AddCorePort(root, "ttyS2", "pnp0/00:04", "serial", "4");

    int status = -1;
    std::string out = List(root.string(), &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0 -> /dev/ttyUSB0\n"
                   "    driver ftdi_sio, USB 0403:6001, serial A50285BI\n"
                   "/dev/ttyACM0\n"
                   "    driver cdc_acm, USB 2341:0043\n"
                   "/dev/ttyAMA0\n"
                   "    driver uart-pl011\n"
                   "/dev/ttyS2\n"
                   "    driver serial\n"
                   "/dev/ttyS10\n"
                   "    driver serial\n");
}

TEST(DeviceList, NoDevicesSaysSo)
{
    TempDir empty;
    int status = -1;
    EXPECT_EQ(List(empty.path(), &status), "no serial devices\n");
    EXPECT_EQ(status, 0);

    // Nothing with hardware behind it counts as none.
    TempDir dir;
    AddNothingReal(dir.path());
    EXPECT_EQ(List(dir.path(), &status), "no serial devices\n");
    EXPECT_EQ(status, 0);
}

// ---- Low latency --------------------------------------------------------------

struct LatencySession {
    TempDir dir;
    Simulator sim{dir};
    Tmux tmux;
    std::string log = dir / "latency.log";

    std::string Preload(const std::string &flags)
    {
        const char *asan = std::getenv("ASAN_OPTIONS");
        return "env LD_PRELOAD=" + Quote(LowLatencyPath()) + " LOWLATENCY_LOG=" + Quote(log) +
               (flags.empty() ? "" : " LOWLATENCY_FLAGS=" + flags) + " ASAN_OPTIONS=" +
               Quote(std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0") + " ";
    }

    void Start(const std::string &args, const std::string &flags = "")
    {
        tmux.Start(Preload(flags) + TarvikCommand({{1, sim.link()}}, args), dir.path());
        ASSERT_TRUE(tmux.WaitScreen("now baudrate")) << tmux.Screen();
        // The port is in use: what was typed reaches the controller.
        tmux.Type("ver");
        tmux.Key("Enter");
        ASSERT_TRUE(tmux.WaitScreen("Quarnix 2.10 (quarnix-sim")) << tmux.Screen();
    }

    std::string Log() const { return FileExists(log) ? ReadFile(log) : ""; }

    // tarvik's process id (the pane's command, or its child).
    int TarvikPid()
    {
        int pid = std::atoi(tmux.Format("#{pane_pid}").c_str());
        for (int depth = 0; depth < 3 && pid > 0; ++depth) {
            std::string comm = ReadFile("/proc/" + std::to_string(pid) + "/comm");
            if (comm.rfind("tarvik", 0) == 0)
                return pid;
            std::string kids = ReadFile("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
            pid = std::atoi(kids.c_str());
        }
        return -1;
    }
};

TEST(LowLatency, SetWhenThePortOpensAndPutBackWhenItCloses)
{
    LatencySession s;
    s.Start("");
    EXPECT_EQ(s.Log(), "low_latency=1\n");
    s.tmux.Key("M-x");
    ASSERT_TRUE(s.tmux.WaitExit()) << s.tmux.Screen();
    EXPECT_EQ(s.tmux.ExitStatus(), 0);
    EXPECT_EQ(s.Log(), "low_latency=1\nlow_latency=0\n");
}

TEST(LowLatency, PutBackWhenASignalEndsTarvik)
{
    for (int sig : {SIGTERM, SIGHUP}) {
        LatencySession s;
        s.Start("");
        int pid = s.TarvikPid();
        ASSERT_GT(pid, 0);
        ASSERT_EQ(SendEndingSignal(pid, sig), 0);
        ASSERT_TRUE(s.tmux.WaitExit()) << s.tmux.Screen();
        EXPECT_EQ(s.tmux.ExitStatus(), 128 + sig) << "signal " << sig;
        EXPECT_EQ(s.Log(), "low_latency=1\nlow_latency=0\n") << "signal " << sig;
    }
}

TEST(LowLatency, LeftAloneWhereAskedOrAlreadyOn)
{
    {
        // --no-low-latency: the driver's setting is never changed.
        LatencySession s;
        s.Start("--no-low-latency");
        s.tmux.Key("M-x");
        ASSERT_TRUE(s.tmux.WaitExit()) << s.tmux.Screen();
        EXPECT_EQ(s.Log(), "");
    }
    {
        // On already (0x2000): nothing to set, and nothing to put back.
        LatencySession s;
        s.Start("", "0x2000");
        s.tmux.Key("M-x");
        ASSERT_TRUE(s.tmux.WaitExit()) << s.tmux.Screen();
        EXPECT_EQ(s.Log(), "");
    }
}

TEST(LowLatency, HeadlessDownloadSetsAndPutsBack)
{
    LatencySession s;
    WriteFile(s.dir / "prog.exe", std::string(700, 'x'));
    int status = -1;
    Shell("cd " + Quote(s.dir.path()) + " && " + s.Preload("") + Quote(TarvikPath()) + " -d prog.exe " +
            Quote(s.sim.link()) + " </dev/null >/dev/null 2>" + Quote(s.dir / "err"),
        &status);
    EXPECT_EQ(status, 0) << ReadFile(s.dir / "err");
    EXPECT_EQ(s.Log(), "low_latency=1\nlow_latency=0\n");
}

}  // namespace
