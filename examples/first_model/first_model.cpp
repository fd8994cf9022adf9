// The smallest Quarnel model: N people who each act once per iteration for 10 iterations and
// count their calls. Usage: first_model <workers> <people>; prints the number of calls.
#include <quarnel/Quarnel.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

// Each person counts its own calls: no two handlers write the same memory.
class Person : public quarnel::Agent<Person> {
 public:
  void Act(quarnel::Next& next) {
    ++_calls;
    next.In(1);  // again in the next iteration
  }
  long _calls = 0;
};

// A whole number in [1, 100000], or 0 when `text` is not one.
int Parse_Count(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return (end != text && *end == '\0' && value >= 1 && value <= 100000) ? int(value) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int workers = argc == 3 ? Parse_Count(argv[1]) : 0;
  const int people = argc == 3 ? Parse_Count(argv[2]) : 0;
  if (workers == 0 || people == 0) {
    std::fprintf(stderr, "usage: first_model <workers 1..100000> <people 1..100000>\n");
    return 2;
  }
  std::printf("Quarnel %s\n", quarnel::version_string);
  try {
    quarnel::Simulation_Configuration config;
    config.num_threads = workers;
    config.num_iterations = 10;
    quarnel::Simulation run(config);
    for (int i = 0; i < people; ++i) quarnel::Create<Person>()->Schedule_At(quarnel::Revision(0, 0));
    long calls = 0;
    run.On_Iteration_End([&](uint32_t iteration) {
      if (iteration + 1 < 10) return;
      quarnel::For_Each_Live<Person>([&](Person& person) { calls += person._calls; });
    });
    run.Run();
    std::printf("agent calls: %ld\n", calls);
  } catch (std::exception const& e) {
    std::fprintf(stderr, "first_model: %s\n", e.what());
    return 1;
  }
  return 0;
}
