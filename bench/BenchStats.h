#pragma once
// Small helpers of the benchmark programs: percentiles of samples, the run
// time of this process's threads by name, and the process's own figures.

#include <dirent.h>
#include <sched.h>
#include <sys/types.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace kav_bench {

/// The value below which the share @p p (0-1) of @p values lies; 0 for no values.
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const std::size_t index =
      std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

inline double maximum(const std::vector<double>& values) {
  return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

inline double mean(const std::vector<double>& values) {
  if (values.empty()) return 0.0;
  double sum = 0.0;
  for (double v : values) sum += v;
  return sum / static_cast<double>(values.size());
}

/// A numeric field of /proc/self/status ("VmRSS:", "Threads:"); -1 when missing.
inline long statusField(const char* name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t length = std::strlen(name);
  while (std::getline(in, line)) {
    if (line.compare(0, length, name) == 0) return std::atol(line.c_str() + length);
  }
  return -1;
}

/// The descriptors this process has open; -1 when /proc cannot be read.
inline long descriptorCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  long count = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - 1;  // the directory's own descriptor
}

/// One thread of this process.
struct ThreadInfo {
  std::string name;          ///< its name (/proc/self/task/<tid>/comm)
  long long runtime_ns = 0;  ///< time it has run on a processor (schedstat)
  int policy = SCHED_OTHER;  ///< its scheduling policy
};

/// Every thread of this process, by thread id. The run time comes from
/// schedstat, which counts nanoseconds (stat counts clock ticks of 10 ms).
inline std::map<pid_t, ThreadInfo> processThreads() {
  std::map<pid_t, ThreadInfo> threads;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return threads;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string dir = std::string("/proc/self/task/") + entry->d_name;
    const pid_t tid = static_cast<pid_t>(std::stol(entry->d_name));
    ThreadInfo info;
    std::ifstream comm(dir + "/comm");
    std::getline(comm, info.name);
    std::ifstream schedstat(dir + "/schedstat");
    schedstat >> info.runtime_ns;
    info.policy = sched_getscheduler(tid);
    threads[tid] = info;
  }
  closedir(tasks);
  return threads;
}

}  // namespace kav_bench
