#include <quarnel/modelkit/Model_Checkpoints.h>

#include <quarnel/World.h>

namespace quarnel::modelkit {

Model_Checkpoints::Model_Checkpoints(const Model_Options& options, const std::string& model,
                                     const std::vector<Parameter_Value>& parameters, uint32_t steps,
                                     const std::string& length)
    : _options(options), _steps(steps), _length(length) {
  command_line_detail::Count_Checkpoints_Made();
  if (!options.checkpoint.empty()) {
    Check_Checkpoint_Path(options.checkpoint);  // before the run, not when a stop signal needs it
    _writer = std::make_unique<Checkpoint_Writer>(options.checkpoint);
  }
  _header.model = model;
  _header.model_version = version_string;
  _header.seed = options.seed;
  for (const Parameter_Value& p : parameters) _header.parameters.emplace_back(p.name, p.text);
  if (options.resume.empty()) return;
  _reader =
      options.resumed != nullptr ? options.resumed : std::make_shared<Checkpoint_Reader>(options.resume);
  const Checkpoint_Header& saved = _reader->header();
  const std::string refused = "the checkpoint " + options.resume + " ";
  if (saved.model != model)
    throw Checkpoint_Error(refused + "is of the model '" + saved.model + "', not " + model);
  if (saved.iteration >= steps) {
    throw Checkpoint_Error(refused + "is at step " + std::to_string(saved.iteration) + " and this run has " +
                           std::to_string(steps) +
                           " steps: nothing to continue (a longer --steps continues it)");
  }
  if (options.fork) return;
  if (saved.seed != options.seed) {
    throw Checkpoint_Error(refused + "has seed " + std::to_string(saved.seed) + ", not " +
                           std::to_string(options.seed) + " (--fork starts a branch with other values)");
  }
  // The run's length may differ; every other parameter must be the saved run's.
  for (const auto& [name, text] : _header.parameters) {
    if (name == length) continue;
    std::string saved_text = "(none)";
    for (const auto& [saved_name, saved_value] : saved.parameters)
      if (saved_name == name) saved_text = saved_value;
    if (saved_text != text) {
      throw Checkpoint_Error(refused + "has " + name + "=" + saved_text + ", not " + text +
                             " (--fork starts a branch with other values)");
    }
  }
  if (saved.parameters.size() != _header.parameters.size())
    throw Checkpoint_Error(refused + "has other parameters than this model's");
}

Record_Options Model_Checkpoints::Continue(Record_Options records) const {
  if (!resuming() || _options.fork) return records;
  records.resume = true;
  records.resume_step = resumed().records.step;
  records.resume_run = resumed().records.run;
  records.resume_csv_bytes = resumed().records.csv_bytes;
  records.resume_csv_digest = resumed().records.csv_digest;
  records.resume_length = _length;
  return records;
}

void Model_Checkpoints::After_Iteration(uint32_t iteration, Recorder& records, const Measures* measures,
                                        const Checkpoint_Contents& contents) {
  if (_options.checkpoint.empty()) return;
  const bool due =
      _options.checkpoint_every > 0 && (iteration + 1) % uint32_t(_options.checkpoint_every) == 0;
  const bool stop = World::stop_requested();
  if (due || stop) privWrite(iteration, records, measures, contents);
  if (stop || iteration + 1 >= _steps) Finish();
}

void Model_Checkpoints::Save(uint32_t iteration, Recorder& records, const Measures* measures,
                             const Checkpoint_Contents& contents) {
  if (_options.checkpoint.empty()) return;
  privWrite(iteration, records, measures, contents);
  Finish();
}

// The records are flushed first, so that the position the checkpoint holds is on disk.
void Model_Checkpoints::privWrite(uint32_t iteration, Recorder& records, const Measures* measures,
                                  const Checkpoint_Contents& contents) {
  records.Flush();
  Checkpoint_Header header = _header;
  header.iteration = iteration + 1;
  header.records = Records_Position{records.last_step(), records.rows(), records.run_id(),
                                    records.csv_bytes(), records.csv_digest()};
  _writer->Write(header, measures, contents);
}

void Model_Checkpoints::Finish() {
  if (_writer != nullptr) _writer->Wait();
}

}  // namespace quarnel::modelkit
