// The serial devices of a Linux system, from /dev/serial/by-id and sysfs.
//
// A port is listed when its /sys/class/tty entry has a device behind it (a
// virtual console or a pseudo-terminal has none) and, for the ports of the
// serial core (ttyS, ttyAMA, ...), when a UART answered there: the core
// gives every possible ttyS a device and reports type 0 where none did.
#include "comdevice.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string Root()
{
    const char *r = std::getenv("TARVIK_LIST_ROOT");
    std::string root = r != nullptr ? r : "";
    while (!root.empty() && root.back() == '/')
        root.pop_back();
    return root;
}

bool Exists(const std::string &path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// The first line of a small sysfs file, without its line end.
std::string FirstLine(const std::string &path)
{
    std::FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return "";
    char line[256] = "";
    if (std::fgets(line, sizeof line, f) == nullptr)
        line[0] = 0;
    std::fclose(f);
    std::string s = line;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string LinkName(const std::string &path)
{
    char buf[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    buf[n] = 0;
    const char *slash = std::strrchr(buf, '/');
    return slash != nullptr ? slash + 1 : buf;
}

std::vector<std::string> Entries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    }
    closedir(d);
    return names;
}

// ttyS2 before ttyS10: names compare by their text, runs of digits by value.
bool NaturalLess(const std::string &a, const std::string &b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t i2 = i, j2 = j;
            while (i2 < a.size() && std::isdigit(static_cast<unsigned char>(a[i2])))
                ++i2;
            while (j2 < b.size() && std::isdigit(static_cast<unsigned char>(b[j2])))
                ++j2;
            unsigned long x = std::strtoul(a.substr(i, i2 - i).c_str(), nullptr, 10);
            unsigned long y = std::strtoul(b.substr(j, j2 - j).c_str(), nullptr, 10);
            if (x != y)
                return x < y;
            i = i2;
            j = j2;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// Whether /sys/class/tty/name is a port with hardware behind it.
bool RealPort(const std::string &root, const std::string &name)
{
    std::string sys = root + "/sys/class/tty/" + name;
    if (!Exists(sys + "/device") || !Exists(root + "/dev/" + name))
        return false;
    std::string type = sys + "/type";
    return !Exists(type) || FirstLine(type) != "0";
}

void Put(char *field, std::size_t size, const std::string &text)
{
    std::snprintf(field, size, "%s", text.c_str());
}

// Driver, USB identity and serial number of port name.
void Describe(const std::string &root, const std::string &name, ComDeviceInfo *info)
{
    std::string device = root + "/sys/class/tty/" + name + "/device";
    char real[PATH_MAX];
    if (realpath(device.c_str(), real) == nullptr)
        return;
    // Newer kernels put the serial core's own port and controller devices
    // (bus serial-base) between the port and the hardware: the driver is
    // the first above them.
    std::string dir = real;
    for (int up = 0; up < 4; ++up) {
        char target[PATH_MAX];
        ssize_t n = readlink((dir + "/driver").c_str(), target, sizeof target - 1);
        if (n <= 0)
            break;
        target[n] = 0;
        std::size_t slash = dir.rfind('/');
        if (std::strstr(target, "/serial-base/") == nullptr || slash == std::string::npos) {
            Put(info->driver, sizeof info->driver, LinkName(dir + "/driver"));
            break;
        }
        dir.resize(slash);
    }
    // The USB device is the nearest folder above the port that names a
    // vendor (an adapter's port sits below its interface, below the device).
    std::string top = root + "/sys";
    for (dir = real; dir.size() > top.size() && dir.compare(0, top.size(), top) == 0;) {
        if (Exists(dir + "/idVendor")) {
            std::string id = FirstLine(dir + "/idVendor") + ":" + FirstLine(dir + "/idProduct");
            Put(info->usbId, sizeof info->usbId, id);
            Put(info->serial, sizeof info->serial, FirstLine(dir + "/serial"));
            return;
        }
        std::size_t slash = dir.rfind('/');
        if (slash == std::string::npos || slash == 0)
            break;
        dir.resize(slash);
    }
}

}  // namespace

int ComListDevices(ComDeviceInfo *list, int max)
{
    std::string root = Root();
    std::vector<std::string> ports;
    for (const std::string &name : Entries(root + "/sys/class/tty"))
        if (RealPort(root, name))
            ports.push_back(name);
    std::sort(ports.begin(), ports.end(), NaturalLess);

    int count = 0;
    std::vector<std::string> named;  // ports reached through a by-id link
    std::string byId = root + "/dev/serial/by-id";
    std::vector<std::string> links = Entries(byId);
    std::sort(links.begin(), links.end());
    for (const std::string &link : links) {
        char real[PATH_MAX];
        std::string path = byId + "/" + link;
        if (count >= max || realpath(path.c_str(), real) == nullptr)
            continue;  // a link left behind by a device that has gone
        const char *slash = std::strrchr(real, '/');
        std::string name = slash != nullptr ? slash + 1 : real;
        ComDeviceInfo &info = list[count++];
        info = ComDeviceInfo{};
        Put(info.path, sizeof info.path, "/dev/serial/by-id/" + link);
        Put(info.target, sizeof info.target, "/dev/" + name);
        if (std::find(ports.begin(), ports.end(), name) != ports.end())
            Describe(root, name, &info);
        named.push_back(name);
    }
    for (const std::string &name : ports) {
        if (count >= max)
            break;
        if (std::find(named.begin(), named.end(), name) != named.end())
            continue;
        ComDeviceInfo &info = list[count++];
        info = ComDeviceInfo{};
        Put(info.path, sizeof info.path, "/dev/" + name);
        Describe(root, name, &info);
    }
    return count;
}
