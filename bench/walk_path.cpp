// walk_path: prints the name of the path garden_count's walk takes on this
// processor, then the other paths built in that this processor can run.
#include <cstdio>

#include "garden_walk.h"

int main() {
  std::printf("%s", chosen_walk_path().name);
  const char* separator = " (this processor also runs: ";
  for (const WalkPath& path : walk_paths().subspan(1)) {
    std::printf("%s%s", separator, path.name);
    separator = ", ";
  }
  std::printf("%s\n", walk_paths().size() > 1 ? ")" : "");
  return std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1;
}
