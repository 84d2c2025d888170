// What stands between the program and a serial device, in words a technician can act on.
// These functions only look (stat, /proc, /sys, the group database); they open no device.
//
// Other openers of a device are found through /proc/*/fd. Only the processes whose /proc
// entries this user may read are seen: as an ordinary user, processes of other users (and of
// root) stay invisible, so "no other opener" is a statement about the visible ones only.
#pragma once

#include <string>
#include <vector>

struct PortUser {
    int nPid = 0;
    std::string strName;  // the process's command name (/proc/PID/comm)
};

// The processes other than this one that hold path open, by device number for a device and
// by inode for anything else, in ascending PID order. Empty when path cannot be looked at.
std::vector<PortUser> FindPortUsers(const std::string& path);

// "PID 123 (cat), PID 456 (minicom)"; empty for no users.
std::string DescribeUsers(const std::vector<PortUser>& users);

// The serial devices present, comma-separated ("/dev/ttyS0, /dev/ttyUSB0"), or "none": USB
// and ACM adapters, on-board UARTs that the kernel found hardware behind, and the names in
// /dev/serial/by-id.
std::string SerialDevicesPresent();

// One line for a device that open(2) refused with nError: the path, the reason and the next
// step (the devices present for a missing one, the owning group and the command that admits
// the user for a refused one, the holder for a busy one).
std::string OpenFailureDetail(const std::string& path, int nError);

// Whether any process, of any user, holds a lock on path (the kernel's table in /proc/locks
// lists them all, by device and inode). false when path cannot be looked at.
bool IsLocked(const std::string& path);

// One line for a device that another program holds locked or exclusive (the holders named
// where /proc shows them). When no process is seen to hold it and nothing holds a lock on it,
// the refusal comes from an exclusive mark left behind by a program that ended without
// clearing it (killed, for instance): the line says so and how to clear it.
std::string InUseDetail(const std::string& path);

// One line for a device that the listed processes hold open without any lock.
std::string HeldOpenDetail(const std::string& path, const std::vector<PortUser>& users);
