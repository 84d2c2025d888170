#include "PortDiagnostics.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "SerialDevices.h"

namespace {

bool IsNumber(const char* pText) {
    if (*pText == '\0') {
        return false;
    }
    for (; *pText != '\0'; ++pText) {
        if (*pText < '0' || *pText > '9') {
            return false;
        }
    }
    return true;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    if (S_ISCHR(a.st_mode) || S_ISBLK(a.st_mode)) {
        return (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT) && a.st_rdev == b.st_rdev;
    }
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string Reason(int nError) {
    return std::strerror(nError);
}

}  // namespace

std::vector<PortUser> FindPortUsers(const std::string& path) {
    std::vector<PortUser> users;
    struct stat target {};
    if (path.empty() || stat(path.c_str(), &target) != 0) {
        return users;
    }
    DIR* pProc = opendir("/proc");
    if (pProc == nullptr) {
        return users;
    }
    const int nSelf = getpid();
    while (const dirent* pEntry = readdir(pProc)) {
        if (!IsNumber(pEntry->d_name)) {
            continue;
        }
        const int nPid = std::atoi(pEntry->d_name);
        if (nPid == nSelf) {
            continue;
        }
        const std::string fdDir = std::string("/proc/") + pEntry->d_name + "/fd";
        DIR* pFds = opendir(fdDir.c_str());
        if (pFds == nullptr) {
            continue;  // gone, or another user's
        }
        bool bFound = false;
        while (const dirent* pFd = readdir(pFds)) {
            struct stat st {};
            if (IsNumber(pFd->d_name) && stat((fdDir + "/" + pFd->d_name).c_str(), &st) == 0 &&
                SameFile(st, target)) {
                bFound = true;
                break;
            }
        }
        closedir(pFds);
        if (bFound) {
            users.push_back(
                {nPid, ReadFirstLine(std::string("/proc/") + pEntry->d_name + "/comm")});
        }
    }
    closedir(pProc);
    std::sort(users.begin(), users.end(),
              [](const PortUser& a, const PortUser& b) { return a.nPid < b.nPid; });
    return users;
}

std::string DescribeUsers(const std::vector<PortUser>& users) {
    std::string text;
    for (const PortUser& user : users) {
        if (!text.empty()) {
            text += ", ";
        }
        text += "PID " + std::to_string(user.nPid);
        if (!user.strName.empty()) {
            text += " (" + user.strName + ")";
        }
    }
    return text;
}

std::string SerialDevicesPresent() {
    std::string text;
    std::vector<std::string> ids;
    for (const SerialDevice& device : ListSerialDevices()) {
        text += (text.empty() ? "" : ", ") + device.strDevice;
        if (!device.strStableName.empty()) {
            ids.push_back(device.strStableName);
        }
    }
    std::sort(ids.begin(), ids.end());
    for (const std::string& id : ids) {
        text += ", " + id;
    }
    return text.empty() ? "none" : text;
}

std::string OpenFailureDetail(const std::string& path, int nError) {
    switch (nError) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return path + ": no such device (" + Reason(nError) +
                   "); serial devices present: " + SerialDevicesPresent();
        case EACCES:
        case EPERM: {
            struct stat st {};
            std::string group;
            if (stat(path.c_str(), &st) == 0) {
                if (const struct group* pGroup = getgrgid(st.st_gid)) {
                    group = pGroup->gr_name;
                } else {
                    group = std::to_string(st.st_gid);
                }
            }
            if (group.empty() || group == "root") {
                return path + ": permission denied; ask the administrator for access to it";
            }
            return path + ": permission denied; the device belongs to group " + group +
                   ": add yourself with `sudo adduser $USER " + group + "`, then log in again";
        }
        case EBUSY:
            return InUseDetail(path);
        default:
            return path + ": cannot be opened (" + Reason(nError) + ")";
    }
}

bool IsLocked(const std::string& path) {
    struct stat target {};
    if (path.empty() || stat(path.c_str(), &target) != 0) {
        return false;
    }
    // "1: FLOCK  ADVISORY  WRITE 4242 00:05:87 0 EOF": the file as major:minor (hex) of its
    // file system and its inode; waiters ("1: -> FLOCK ...") name the same file.
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            unsigned nMajor = 0, nMinor = 0;
            unsigned long long nInode = 0;
            char colon1 = 0, colon2 = 0;
            std::istringstream id(word);
            if (std::count(word.begin(), word.end(), ':') == 2 &&
                (id >> std::hex >> nMajor >> colon1 >> nMinor >> colon2 >> std::dec >> nInode) &&
                colon1 == ':' && colon2 == ':' && id.peek() == EOF) {
                if (nMajor == major(target.st_dev) && nMinor == minor(target.st_dev) &&
                    nInode == target.st_ino) {
                    return true;
                }
                break;
            }
        }
    }
    return false;
}

std::string InUseDetail(const std::string& path) {
    const std::vector<PortUser> users = FindPortUsers(path);
    if (users.empty() && !IsLocked(path)) {
        return path +
               ": marked for exclusive use, but nothing holds it (no lock, and no process this "
               "user can see has it open): a program that ended without clearing the mark, "
               "killed for instance, left it behind. Unplug the adapter and plug it in again "
               "(a pseudo-terminal: restart the program that made it), or clear the mark as "
               "root: sudo python3 -c 'import os, fcntl, termios; fcntl.ioctl(os.open(\"" +
               path + "\", os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK), termios.TIOCNXCL)'";
    }
    if (users.empty()) {
        return path + ": in use by another program; close it and try again";
    }
    return path + ": in use by " + DescribeUsers(users) + "; close it and try again";
}

std::string HeldOpenDetail(const std::string& path, const std::vector<PortUser>& users) {
    return path + ": held open by " + DescribeUsers(users) +
           ", which would take the projector's answers; close it and try again";
}
