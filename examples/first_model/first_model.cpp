// The smallest Quarnel model, and the template for one of your own: `people` people who each
// act once per step for `steps` steps and count their calls. Its parameters are declared once
// (the command line, --params and the records read them), its count is a measure added inside
// the step, its records go to CSV or SQLite on request, and its whole state to a checkpoint
// from which a later run continues:
//   first_model --threads 2 --set people=1000 --csv calls.csv --checkpoint calls.ckpt
//   first_model --set people=1000 --steps 20 --csv calls.csv --resume calls.ckpt
#include <quarnel/Quarnel.h>
#include <quarnel/modelkit/Model_Checkpoints.h>
#include <quarnel/modelkit/Model_Command_Line.h>

#include <cstdio>
#include <string>

namespace {

struct Parameters {
  int people = 100;
  int steps = 10;
};

// Each parameter once: name, field, default, range, help.
quarnel::modelkit::Model_Parameters<Parameters> Declared() {
  quarnel::modelkit::Model_Parameters<Parameters> p;
  p.Integer("people", &Parameters::people, 100, 1, 100000000, "people, each acting once per step");
  p.Integer("steps", &Parameters::steps, 10, 1, 1000000, "steps to run");
  return p;
}

// The model's shared state, given to the run: every handler reaches it as next.model<Model>().
struct Model {
  quarnel::Measures measures;
  quarnel::Count_Measure calls = measures.Count("calls");  // in each step
  quarnel::Count_Measure total_calls = measures.Count("total_calls", quarnel::Measure_Reset::running);
};

class Person : public quarnel::Agent<Person> {
 public:
  void Act(quarnel::Next& next) {
    const Model& model = next.model<Model>();
    model.calls.Add();  // into this worker's own lines: no atomics, no locks
    model.total_calls.Add();
    next.In(1);  // again in the next step
  }
  // The fields a checkpoint saves (a person has none; the kernel saves its schedule).
  template <class Archive>
  void serialize(Archive&) {}
};

int Run(const quarnel::modelkit::Model_Options& options, const Parameters& p) {
  Model model;
  // Opened before the run: a checkpoint to resume that does not fit, or a file that cannot be
  // written, stops the program here.
  quarnel::modelkit::Model_Checkpoints checkpoints(options, "first_model", Declared(), p, uint32_t(p.steps));
  quarnel::modelkit::Recorder records =
      quarnel::modelkit::Open_Records(model.measures, "first_model", options, Declared(), p, {}, checkpoints);
  // The model's whole state, described once for saving and loading.
  auto contents = [](quarnel::Checkpoint_Io& io) { io.Objects<Person>(); };
  quarnel::modelkit::Recorded_Run(records, [&] {
    quarnel::Simulation_Configuration config;
    config.num_threads = options.threads;
    config.num_iterations = p.steps;
    quarnel::Simulation run(config, model);
    run.Attach_Measures(model.measures);
    if (checkpoints.resuming()) {
      checkpoints.Restore(&model.measures, contents);
    } else {
      quarnel::Create_Many<Person>(uint64_t(p.people), quarnel::Revision(0, 0),
                                   [](uint64_t) { return Person(); });
    }
    run.On_Iteration_End([&](uint32_t i) {
      records.Record(i + 1);  // a row per step: step i + 1 after iteration i
      checkpoints.After_Iteration(i, records, &model.measures, contents);
    });
    run.Run();
  });
  if (quarnel::modelkit::Run_Interrupted()) {
    return quarnel::modelkit::Interrupted_Status(
        "first_model", "before its last step; the records hold every finished step");
  }
  std::fflush(stdout);  // after the kernel's own lines
  std::printf("agent calls: %lld\n", static_cast<long long>(model.total_calls.Value()));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return quarnel::modelkit::Run_Model_Program<Parameters>(
      argc, argv, "first_model", "People who each act once per step and count their calls.\n", Declared(),
      Run);
}
