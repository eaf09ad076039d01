// COM n names the device in TARVIK_COM<n> (see ComDeviceName); a device
// given on the command line is put there for this process only.
#include "comdevice.h"

#include "netport.h"
#include "serial.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// path made absolute by the working directory in front (no link is
// resolved: a link that later leads to a new device still does).
std::string Absolute(const char *path)
{
    NetAddress address;
    if (path[0] == '/' || path[0] == 0 || NetParseAddress(path, &address) != NetNotAddress)
        return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        return path;
    std::string s = cwd;
    if (path[0] == '.' && path[1] == '/')
        path += 2;
    return s + "/" + path;
}

}  // namespace

int ComUseDevice(int n, const char *path)
{
    char var[32];
    std::snprintf(var, sizeof var, "TARVIK_COM%d", n);
    return setenv(var, Absolute(path).c_str(), 1) == 0 ? 0 : -1;
}

void ComAbsoluteDevicePaths()
{
    for (int n = 1; n < ComPortCount; ++n) {
        char var[32];
        std::snprintf(var, sizeof var, "TARVIK_COM%d", n);
        const char *dev = std::getenv(var);
        if (dev != nullptr && dev[0] != 0 && dev[0] != '/') {
            std::string absolute = Absolute(dev);
            setenv(var, absolute.c_str(), 1);
        }
    }
}

int ComCheckDevice(const char *path)
{
    NetAddress address;
    int net = NetParseAddress(path, &address);
    if (net == 0)
        return 0;
    if (net == NetBadAddress)
        return ComBadAddress;
    struct stat st {};
    if (stat(path, &st) != 0)
        return ComNoDevice;
    return S_ISCHR(st.st_mode) ? 0 : ComNotDevice;
}
