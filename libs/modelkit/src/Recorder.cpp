#include <quarnel/modelkit/Recorder.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "Record_Sinks.h"

namespace quarnel::modelkit {

void Refuse_Record(const std::string& message) {
  throw Record_Error(message);
}

std::string to_string(Run_Status status) {
  switch (status) {
    case Run_Status::running:
      return "running";
    case Run_Status::done:
      return "done";
    case Run_Status::failed:
      return "failed";
    case Run_Status::interrupted:
      return "interrupted";
  }
  return "unknown";
}

Recorder::Recorder(const Measures& measures, Run_Description run, Record_Options options)
    : _measures(measures), _options(std::move(options)) {
  if (_options.every < 1) Refuse_Record("a record every 0 steps: it must be at least 1");
  const std::vector<Measure_Column>& all = measures.Columns();
  std::vector<Measure_Column> columns;
  for (const std::string& name : _options.columns) {
    const auto found =
        std::find_if(all.begin(), all.end(), [&](const Measure_Column& c) { return c.name == name; });
    if (found == all.end()) Refuse_Record("the records name a column '" + name + "' that no measure has");
    _recorded.push_back(size_t(found - all.begin()));
    columns.push_back(*found);
  }
  if (_options.columns.empty()) {
    columns = all;
    for (size_t i = 0; i < all.size(); ++i) _recorded.push_back(i);
  }
  _row.resize(_recorded.size());
  for (const Measure_Column& c : columns) _names.push_back(c.name);
  // Both refusals of records the saved run never wrote come before either file is touched.
  if (_options.resume && !_options.csv.empty() && _options.resume_csv_bytes == 0)
    Refuse_Record("the checkpoint's run wrote no CSV file to continue in " + _options.csv);
  if (_options.resume && !_options.sqlite.empty() && _options.resume_run == 0)
    Refuse_Record("the checkpoint's run wrote no SQLite file to continue in " + _options.sqlite);
  if (!_options.csv.empty()) {
    _csv = _options.resume ? std::make_unique<Csv_Sink>(_options.csv, columns, _options.resume_step,
                                                        _options.resume_csv_bytes, _options.resume_csv_digest)
                           : std::make_unique<Csv_Sink>(_options.csv, columns, _options.overwrite);
  }
  if (!_options.sqlite.empty()) {
    _sqlite = std::make_unique<Sqlite_Sink>(_options.sqlite, columns, run, _options.durable,
                                            _options.resume ? _options.resume_run : 0, _options.resume_step,
                                            _options.resume_length);
  }
  if (_csv && _options.resume) _csv->Cut();  // once both files are known for the run's
  if (_options.resume) _last_step = _options.resume_step;
}

Recorder::~Recorder() {
  if (!_finished) Finish(Run_Status::failed);
}

void Recorder::Record(uint64_t step) {
  if (step % _options.every != 0) return;
  const std::vector<Measure_Value>& values = _measures.Values();
  for (size_t i = 0; i < _recorded.size(); ++i) _row[i] = values[_recorded[i]];
  if (_csv) {
    std::string line = std::to_string(step);
    for (const Measure_Value& v : _row) line += "," + To_Text(v);
    line += "\n";
    _csv->Row(line);
  }
  if (_sqlite) _sqlite->Row(step, _row);
  if (_options.on_row) _options.on_row(step, _names, _row);
  ++_rows;
  _last_step = step;
}

void Recorder::Flush() {
  if (_sqlite) _sqlite->Commit();
}

std::function<void(uint32_t)> Recorder::Hook(std::function<void(uint32_t)> model_hook) {
  return [this, model_hook = std::move(model_hook)](uint32_t iteration) {
    if (model_hook) model_hook(iteration);
    Record(uint64_t(iteration) + 1);
  };
}

void Recorder::Finish(Run_Status status) {
  if (_finished) return;
  _finished = true;
  const bool failed = status == Run_Status::failed;
  // A done run's CSV is its own, rows or not; a run cut short before its first row leaves an
  // existing file as it was.
  const bool publish = status == Run_Status::done || _rows > 0;
  // Both sinks finish whatever the other does; the first failure is reported after.
  std::exception_ptr first;
  try {
    if (_sqlite) _sqlite->Finish(status);
  } catch (const Record_Error&) {
    first = std::current_exception();
  }
  try {
    if (_csv) _csv->Finish(publish);
  } catch (const Record_Error&) {
    if (!first) first = std::current_exception();
  }
  if (first && !failed) std::rethrow_exception(first);
}

int64_t Recorder::run_id() const {
  return _sqlite ? _sqlite->run_id() : 0;
}

uint64_t Recorder::csv_bytes() const {
  return _csv ? _csv->bytes() : 0;
}

uint64_t Recorder::csv_digest() const {
  return _csv ? _csv->digest() : 0;
}

}  // namespace quarnel::modelkit
