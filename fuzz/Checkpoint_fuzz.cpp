// libFuzzer target: the checkpoint loader.
//
// Each input is loaded twice: as a whole file (almost always refused at its prefix or CRC-32),
// and as the body of a file whose prefix and CRC-32 are made right for it, so that the header,
// the measures and the objects are parsed from arbitrary bytes. The loaded run has an
// identified agent type whose field refers to another object, a plain agent type, an event
// type and a State value. The property: every input is either accepted or refused with a
// Checkpoint_Error; any other exception, a crash or a sanitizer report is a finding. An input
// that loads is also run for one iteration.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <quarnel/Checkpoint.h>
#include <quarnel/Quarnel.h>

namespace {

using namespace quarnel;

class Node : public Identified_Agent<Node> {
 public:
  void Act(Next& next) {
    if (_other != nullptr) _value += _other->_value & 1;
    next.In(1);
  }
  template <class Archive>
  void serialize(Archive& a) {
    a(_value, Ref(_other));
  }
  int64_t _value = 0;
  Node* _other = nullptr;
};

class Plain : public Agent<Plain> {
 public:
  void Act(Next& next) { next.In(2); }
  template <class Archive>
  void serialize(Archive& a) {
    a(_x, _y);
  }
  int32_t _x = 0;
  double _y = 0;
};

class Alarm : public Identified_Event<Alarm> {
 public:
  void Act(Next& next) { next.In(3, 1); }
  template <class Archive>
  void serialize(Archive& a) {
    a(_strength);
  }
  uint16_t _strength = 0;
};

struct Shared {
  Measures measures;
  Count_Measure count = measures.Count("count");
  Sum_Measure sum = measures.Sum("sum", Measure_Reset::running);
  int64_t hook_state = 0;
};

void Load(const std::string& bytes) {
  Shared shared;
  Simulation_Configuration config;
  config.num_threads = 1;
  config.num_iterations = 0;  // set below from the checkpoint's clock
  bool loaded = false;
  try {
    Checkpoint_Reader reader(bytes, "input");
    config.num_iterations = int(std::min<uint32_t>(reader.header().iteration, INT32_MAX - 2)) + 1;
    Simulation run(config, shared);
    run.Attach_Measures(shared.measures);
    reader.Restore(&shared.measures, [&](Checkpoint_Io& io) {
      io.Objects<Node>();
      io.Objects<Plain>();
      io.Objects<Alarm>();
      io.State(shared.hook_state);
    });
    loaded = true;
    if (reader.header().iteration < INT32_MAX - 2) run.Run();
  } catch (const Checkpoint_Error&) {
    if (loaded) std::abort();  // a run that loaded fails only by a bug
  } catch (const std::exception& e) {
    std::fprintf(stderr, "not a Checkpoint_Error: %s\n", e.what());
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  Load(raw);
  std::string file("QRNLCKPT", 8);
  const uint32_t format = __checkpoint_format, reserved = 0;
  const uint64_t length = size;
  const uint32_t crc = uint32_t(crc32(crc32(0L, Z_NULL, 0), data, uInt(size)));
  file.append(reinterpret_cast<const char*>(&format), 4);
  file.append(reinterpret_cast<const char*>(&reserved), 4);
  file.append(reinterpret_cast<const char*>(&length), 8);
  file.append(reinterpret_cast<const char*>(&crc), 4);
  file += raw;
  Load(file);
  return 0;
}
