// The process counters the leak checks compare: descriptors, threads,
// resident memory (Linux, from /proc).
#ifndef TARNLINK_TESTS_SUPPORT_PROCESS_H_
#define TARNLINK_TESTS_SUPPORT_PROCESS_H_

#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>

namespace tarnlink::test {

inline size_t CountEntries(const char* dir) {
  size_t n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
    ::closedir(d);
  }
  return n;
}
inline size_t OpenDescriptors() { return CountEntries("/proc/self/fd") - 1; }  // less the listing's own
inline size_t ThreadCount() { return CountEntries("/proc/self/task"); }

// Resident set in KiB, from /proc/self/statm.
inline size_t ResidentKiB() {
  long pages_total = 0;
  long pages_resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages_total, &pages_resident) != 2) pages_resident = 0;
    std::fclose(f);
  }
  return static_cast<size_t>(pages_resident) * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

}  // namespace tarnlink::test

#endif  // TARNLINK_TESTS_SUPPORT_PROCESS_H_
