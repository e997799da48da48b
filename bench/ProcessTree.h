#pragma once

#include <sys/types.h>

#include <vector>

// What /proc tells of a process measured from outside, each figure of the process and of every
// process below it (a program and its helper, a service and its quarnel-netns).
namespace quarnel::bench {

std::vector<pid_t> Children(pid_t pid);
// CPU time of every thread so far, in seconds.
double CpuSecondsOf(pid_t pid);
// Peak resident memory (VmHWM) in MiB.
double PeakMiBOf(pid_t pid);
// Resident memory now (VmRSS) in MiB.
double ResidentMiBOf(pid_t pid);
// Open file descriptors of this process alone.
int OpenFdsOf(pid_t pid);
// Whether any holds a kernel program: the proof that it runs on kernel events.
bool HoldsKernelProgramOf(pid_t pid);

}  // namespace quarnel::bench
