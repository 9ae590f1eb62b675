// Test helper: the names of this process's threads, read from
// /proc/self/task/*/comm. Header-only; included by unit tests only.
#pragma once

#include <dirent.h>

#include <fstream>
#include <string>
#include <vector>

namespace mevora::testing_threads {

inline std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  DIR* dir = ::opendir("/proc/self/task");
  if (dir == nullptr) return names;
  while (dirent* e = ::readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

// How many threads of this process carry `name`.
inline int thread_count(const std::string& name) {
  int n = 0;
  for (const std::string& t : thread_names()) n += t == name ? 1 : 0;
  return n;
}

}  // namespace mevora::testing_threads
