// schelling_compare [seeds] [threads]: the end state (after 20 steps at the large size) of the
// phase formulation on the kernel and of the declared rules (Schelling.h), over seeds
// 1 .. seeds (default 20), as a Markdown table of means and standard deviations.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <quarnel/modelkit/Sample_Summary.h>

#include "Schelling_Reference.h"

using Stat = quarnel::modelkit::Sample_Summary;

int main(int argc, char** argv) {
  const int seeds = argc > 1 ? std::atoi(argv[1]) : 20;
  const int threads = argc > 2 ? std::atoi(argv[2]) : 2;
  if (seeds < 1 || threads < 1) {
    std::fprintf(stderr, "usage: schelling_compare [seeds >= 1] [threads >= 1]\n");
    return 1;
  }
  const schelling::Parameters p = schelling::Parameters_For(quarnel::modelkit::Model_Size::large);
  Stat happy[2], moved[2], first_happy[2];
  for (int seed = 1; seed <= seeds; ++seed) {
    const schelling::Series a = schelling::kernel::Run(p, uint64_t(seed), threads, 1000, false).series;
    const schelling::Series b = schelling::declared::Run(p, uint64_t(seed));
    int k = 0;
    for (const schelling::Series* s : {&a, &b}) {
      happy[k].values.push_back(double(s->back().happy) / p.agents);
      moved[k].values.push_back(double(s->back().moved));
      first_happy[k].values.push_back(double((*s)[1].happy) / p.agents);
      ++k;
    }
  }
  std::fflush(stdout);
  std::printf("| after %d steps, %d seeds | phase formulation (kernel) | declared rules (sequential) |\n",
              p.steps, seeds);
  std::printf("|---|---|---|\n");
  std::printf("| fraction happy | %.4f ± %.4f | %.4f ± %.4f |\n", happy[0].Mean(), happy[0].Sd(),
              happy[1].Mean(), happy[1].Sd());
  std::printf("| residents moved in the last step | %.1f ± %.1f | %.1f ± %.1f |\n", moved[0].Mean(),
              moved[0].Sd(), moved[1].Mean(), moved[1].Sd());
  std::printf("| fraction happy in step 1 | %.4f ± %.4f | %.4f ± %.4f |\n", first_happy[0].Mean(),
              first_happy[0].Sd(), first_happy[1].Mean(), first_happy[1].Sd());
  return 0;
}
