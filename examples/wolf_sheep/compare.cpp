// wolf_sheep_compare [seeds] [threads]: the end state (after 100 steps at the large size) of
// the phase formulation on the kernel and of the declared rules (Wolf_Sheep.h), over seeds
// 1 .. seeds (default 20), as a Markdown table of means and standard deviations.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <quarnel/modelkit/Sample_Summary.h>

#include "Wolf_Sheep_Reference.h"

using Stat = quarnel::modelkit::Sample_Summary;

int main(int argc, char** argv) {
  const int seeds = argc > 1 ? std::atoi(argv[1]) : 20;
  const int threads = argc > 2 ? std::atoi(argv[2]) : 2;
  if (seeds < 1 || threads < 1) {
    std::fprintf(stderr, "usage: wolf_sheep_compare [seeds >= 1] [threads >= 1]\n");
    return 1;
  }
  const wolf_sheep::Parameters p = wolf_sheep::Parameters_For(quarnel::modelkit::Model_Size::large);
  Stat phase[3], declared[3];
  for (int seed = 1; seed <= seeds; ++seed) {
    const wolf_sheep::Counts a =
        wolf_sheep::kernel::Run(p, uint64_t(seed), threads, 1000, false).series.back();
    const wolf_sheep::Counts b = wolf_sheep::declared::Run(p, uint64_t(seed)).back();
    phase[0].values.push_back(double(a.sheep));
    phase[1].values.push_back(double(a.wolves));
    phase[2].values.push_back(double(a.grass));
    declared[0].values.push_back(double(b.sheep));
    declared[1].values.push_back(double(b.wolves));
    declared[2].values.push_back(double(b.grass));
  }
  std::fflush(stdout);
  std::printf("| after %d steps, %d seeds | phase formulation (kernel) | declared rules (sequential) |\n",
              p.steps, seeds);
  std::printf("|---|---|---|\n");
  const char* names[3] = {"sheep", "wolves", "cells with grown grass"};
  for (int k = 0; k < 3; ++k) {
    std::printf("| %s | %.0f ± %.0f | %.0f ± %.0f |\n", names[k], phase[k].Mean(), phase[k].Sd(),
                declared[k].Mean(), declared[k].Sd());
  }
  return 0;
}
