// Checkpoints: a run saved at iteration k and continued from the file, on another number of
// workers and another block size, makes the same calls, measures and state as a run that never
// stopped; the file does not depend on the workers; bad files are refused in one line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <quarnel/Checkpoint.h>
#include <quarnel/Quarnel.h>

#include "Test_Support.h"

namespace {

using namespace quarnel;

constexpr uint64_t kSeed = 77;

// Never released; walkers point at one and read its weight.
class Anchor : public Identified_Agent<Anchor> {
 public:
  Anchor() = default;
  explicit Anchor(int64_t weight) : _weight(weight) {}
  void Act(Next&) {}
  template <class Archive>
  void serialize(Archive& a) {
    a(_weight);
  }
  int64_t _weight = 0;
};

struct Shared;

// Moves, splits and dies at random; its draws are keyed on its identity.
class Walker : public Identified_Agent<Walker> {
 public:
  Walker() = default;
  Walker(int64_t position, double energy, Anchor* anchor)
      : _position(position), _energy(energy), _anchor(anchor) {}
  void Act(Next& next);
  template <class Archive>
  void serialize(Archive& a) {
    a(_position, _energy, _children, Ref(_anchor));
  }
  int64_t _position = 0;
  double _energy = 0;
  uint32_t _children = 0;
  Anchor* _anchor = nullptr;
};

// Fires at random iterations ahead (the heap holds several due revisions at once).
class Tick : public Identified_Event<Tick> {
 public:
  Tick() = default;
  explicit Tick(int32_t strength) : _strength(strength) {}
  void Act(Next& next);
  template <class Archive>
  void serialize(Archive& a) {
    a(_strength);
  }
  int32_t _strength = 0;
};

// No identity: saved in the order of its bytes.
class Counter : public Agent<Counter> {
 public:
  Counter() = default;
  explicit Counter(int32_t step) : _step(step) {}
  void Act(Next& next);
  template <class Archive>
  void serialize(Archive& a) {
    a(_step, _total);
  }
  int32_t _step = 1;
  int64_t _total = 0;
};

struct Shared {
  Measures measures;
  Count_Measure births = measures.Count("births");
  Count_Measure deaths = measures.Count("deaths");
  Sum_Measure energy = measures.Sum("energy", Measure_Reset::running);
  Count_Measure ticks = measures.Count("ticks", Measure_Reset::running);
  Integer_Gauge_Measure walkers = measures.Integer_Gauge("walkers");
  int64_t hook_sum = 0;  // the hook's own running state
};

void Walker::Act(Next& next) {
  Shared& s = next.model<Shared>();
  Counter_Random draws = Random(kSeed);
  _position += int64_t(draws.U64(0) % 7) - 3 + _anchor->_weight;
  _energy += draws.Uniform(1) - 0.55;
  s.energy.Add(_energy);
  if (_energy < 0) {
    s.deaths.Add();
    Release(this);
    return;
  }
  if (draws.Uniform(2) < 0.15) {
    Walker* child = Create_Identified<Walker>(Child_Identity(identity(), next.now(), _children++), _position,
                                              _energy / 2, _anchor);
    _energy /= 2;
    child->Schedule_At(Revision(next.iteration() + 1, 0));
    s.births.Add();
  }
  next.In(1 + uint32_t(draws.U64(3) % 2), 0);
}

void Tick::Act(Next& next) {
  next.model<Shared>().ticks.Add(_strength);
  next.In(1 + uint32_t(Random(kSeed).U64(0) % 5), 1);
}

void Counter::Act(Next& next) {
  _total += _step;
  next.In(2, 0);
}

struct Outcome {
  std::vector<std::vector<std::string>> rows;  // per finished iteration: the measures' values
  Run_Digest fingerprint;
  int64_t hook_sum = 0;
};

void Contents(Checkpoint_Io& io, Shared& shared) {
  io.Objects<Anchor>();
  io.Objects<Walker>();
  io.Objects<Tick>();
  io.Objects<Counter>();
  io.State(shared.hook_sum);
}

Checkpoint_Header Header_At(uint32_t iteration) {
  Checkpoint_Header header;
  header.model = "checkpoint_test";
  header.model_version = "1";
  header.parameters = {{"walkers", "60"}};
  header.seed = kSeed;
  header.iteration = iteration;
  return header;
}

// A run to `steps` on `threads` workers; it saves at the end of iteration `save_at` - 1 to
// `save` (none when empty), stops there when `stop`, and starts from `resume` when given.
Outcome Run_Model(int threads, int block, uint32_t steps, const std::string& save = "", uint32_t save_at = 0,
                  bool stop = false, const std::string& resume = "") {
  Outcome outcome;
  quarnel::testing::Run_Bounded([&] {
    Shared shared;
    Run_Fingerprint::Switch(true);
    {
      Simulation run(quarnel::testing::Make_Configuration(threads, int(steps), block), shared);
      Set_Block_Size<Walker>(block);
      Set_Block_Size<Counter>(block);
      run.Attach_Measures(shared.measures);
      if (resume.empty()) {
        std::vector<Anchor*> anchors;
        for (int i = 0; i < 3; ++i) {
          anchors.push_back(Create_Identified<Anchor>(Root_Identity(uint64_t(i)), i - 1));
        }
        for (int i = 0; i < 60; ++i) {
          Create_Identified<Walker>(Root_Identity(uint64_t(100 + i)), 0, 1.0 + 0.01 * i,
                                    anchors[size_t(i % 3)])
              ->Schedule_At(Revision(0, 0));
        }
        for (int i = 0; i < 8; ++i)
          Create_Identified<Tick>(Root_Identity(uint64_t(1000 + i)), i + 1)
              ->Schedule_At(Revision(uint32_t(i), 1));
        for (int i = 0; i < 5; ++i) Create<Counter>(i % 2 + 1)->Schedule_At(Revision(uint32_t(i % 2), 0));
      } else {
        Checkpoint_Reader reader(resume);
        reader.Restore(&shared.measures, [&](Checkpoint_Io& io) { Contents(io, shared); });
      }
      run.On_Iteration_End([&](uint32_t i) {
        shared.walkers.Set(Live_Count<Walker>());
        shared.hook_sum += shared.births.Value() * 3 + shared.deaths.Value();
        std::vector<std::string> row{std::to_string(i)};
        for (const Measure_Value& v : shared.measures.Values()) row.push_back(To_Text(v));
        outcome.rows.push_back(row);
        if (!save.empty() && i + 1 == save_at) {
          Write_Checkpoint(save, Header_At(i + 1), &shared.measures,
                           [&](Checkpoint_Io& io) { Contents(io, shared); });
          if (stop) World::Instance().Stop_After_This_Iteration();
        }
      });
      run.Run();
      outcome.hook_sum = shared.hook_sum;
    }
    outcome.fingerprint = Run_Fingerprint::Instance().Result();
    Run_Fingerprint::Switch(false);
  });
  return outcome;
}

std::string Read_File(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class Checkpoint_Test : public ::testing::Test {
 protected:
  std::filesystem::path _dir =
      std::filesystem::temp_directory_path() / ("quarnel_checkpoint_test_" + std::to_string(::getpid()));
  void SetUp() override { std::filesystem::create_directories(_dir); }
  void TearDown() override {
    if (!getenv("KEEP")) std::filesystem::remove_all(_dir);
  }
  std::string File(const std::string& name) const { return (_dir / name).string(); }
};

TEST_F(Checkpoint_Test, ResumedRunContinuesAsIfNeverStopped) {
  constexpr uint32_t kSteps = 40, kAt = 13;
  const Outcome whole = Run_Model(2, 7, kSteps);
  ASSERT_EQ(whole.rows.size(), kSteps);
  ASSERT_GT(whole.fingerprint.calls, 500u);
  struct Case {
    int save_threads, save_block, resume_threads, resume_block;
  };
  for (const Case c : {Case{1, 1000, 6, 1}, Case{2, 7, 1, 1000}, Case{2, 1, 6, 7}}) {
    SCOPED_TRACE(std::to_string(c.save_threads) + " -> " + std::to_string(c.resume_threads) + " workers");
    const std::string file = File("run.ckpt");
    const Outcome first = Run_Model(c.save_threads, c.save_block, kSteps, file, kAt, true);
    ASSERT_EQ(first.rows.size(), kAt);
    const Outcome rest = Run_Model(c.resume_threads, c.resume_block, kSteps, "", 0, false, file);
    ASSERT_EQ(rest.rows.size(), kSteps - kAt);
    EXPECT_EQ(rest.rows.front().front(), std::to_string(kAt));  // the hook goes on from iteration k
    std::vector<std::vector<std::string>> joined = first.rows;
    joined.insert(joined.end(), rest.rows.begin(), rest.rows.end());
    EXPECT_EQ(joined, whole.rows);
    EXPECT_EQ(rest.fingerprint, whole.fingerprint);
    EXPECT_EQ(rest.hook_sum, whole.hook_sum);
    EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
  }
}

// Saved at the last iteration of a finished run, the state is that of a run that goes on: a
// longer run resumed from it equals one that never stopped, though the events that answered
// the final iteration were parked there.
TEST_F(Checkpoint_Test, SavedAtTheLastIterationALongerRunContinuesAsIfNeverStopped) {
  constexpr uint32_t kFirst = 17, kSteps = 34;
  const Outcome whole = Run_Model(2, 7, kSteps);
  const std::string file = File("last.ckpt");
  const Outcome first = Run_Model(1, 1000, kFirst, file, kFirst);
  ASSERT_EQ(first.rows.size(), kFirst);
  const Outcome rest = Run_Model(3, 1, kSteps, "", 0, false, file);
  ASSERT_EQ(rest.rows.size(), kSteps - kFirst);
  std::vector<std::vector<std::string>> joined = first.rows;
  joined.insert(joined.end(), rest.rows.begin(), rest.rows.end());
  EXPECT_EQ(joined, whole.rows);
  EXPECT_EQ(rest.fingerprint, whole.fingerprint);
  EXPECT_EQ(rest.hook_sum, whole.hook_sum);
}

TEST_F(Checkpoint_Test, FileDependsOnTheStateOnlyNotOnWorkersOrBlocks) {
  Run_Model(1, 1000, 20, File("one.ckpt"), 9, true);
  Run_Model(3, 1, 20, File("three.ckpt"), 9, true);
  const std::string one = Read_File(File("one.ckpt"));
  EXPECT_GT(one.size(), 1000u);
  EXPECT_TRUE(one == Read_File(File("three.ckpt")));
  // Saved again after a resume at the same iteration, it is the same file once more.
  Run_Model(2, 7, 20, File("again.ckpt"), 18, true,
            File("one.ckpt"));  // resumed at 9: saves at the end of 18
  Run_Model(1, 1000, 20, File("straight.ckpt"), 18, true);
  const std::string again = Read_File(File("again.ckpt"));
  EXPECT_GT(again.size(), 1000u);
  EXPECT_TRUE(again == Read_File(File("straight.ckpt")));
}

TEST_F(Checkpoint_Test, HeaderReadsBack) {
  Run_Model(1, 100, 10, File("h.ckpt"), 4, true);
  const Checkpoint_Reader reader(File("h.ckpt"));
  EXPECT_EQ(reader.header().model, "checkpoint_test");
  EXPECT_EQ(reader.header().iteration, 4u);
  EXPECT_EQ(reader.header().seed, kSeed);
  ASSERT_EQ(reader.header().parameters.size(), 1u);
  EXPECT_EQ(reader.header().parameters[0].second, "60");
}

// Empty parts (no parameters, an empty vector of the model's state) write and read back: the
// writer never hands a null buffer of length 0 to memcpy (a sanitizer build reports that).
TEST_F(Checkpoint_Test, EmptyPartsWriteAndReadBack) {
  Checkpoint_Header header;
  header.model = "empty";
  header.iteration = 2;
  std::vector<int32_t> nothing;
  Write_Checkpoint(File("e.ckpt"), header, nullptr, [&](Checkpoint_Io& io) { io.State(nothing); });
  const Checkpoint_Reader reader(File("e.ckpt"));
  EXPECT_EQ(reader.header().model, "empty");
  EXPECT_EQ(reader.header().iteration, 2u);
  EXPECT_TRUE(reader.header().parameters.empty());
}

// Every refusal is a Checkpoint_Error of one line that names the file.
std::string Refusal(const std::function<void()>& load) {
  try {
    load();
  } catch (const Checkpoint_Error& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST_F(Checkpoint_Test, BadFilesAreRefusedInOneLine) {
  Run_Model(1, 100, 10, File("good.ckpt"), 4, true);
  const std::string good = Read_File(File("good.ckpt"));
  auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(File(name), std::ios::binary) << bytes;
    return File(name);
  };
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x10;
  std::string newer = good, older = good;
  newer[8] = char(__checkpoint_format + 1);
  older[8] = char(__checkpoint_format - 1);
  std::filesystem::create_directory(File("folder.ckpt"));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {File("missing.ckpt"), "cannot read"},
      {File("folder.ckpt"), "not a regular file"},
      {write("older.ckpt", older), "older than this program's"},
      {write("empty.ckpt", ""), "is empty"},
      {write("short.ckpt", good.substr(0, good.size() - 9)), "cut short"},
      {write("prefix.ckpt", good.substr(0, 10)), "not a Quarnel checkpoint"},
      {write("flipped.ckpt", flipped), "CRC-32"},
      {write("newer.ckpt", newer), "newer than this program's"},
      {write("text.ckpt", "step,happy\n0,1\n"), "not a Quarnel checkpoint"},
  };
  for (const auto& [file, expected] : cases) {
    const std::string message = Refusal([&] { Checkpoint_Reader reader(file); });
    EXPECT_NE(message.find(expected), std::string::npos) << file << ": " << message;
    EXPECT_NE(message.find(file), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  }
}

// A file's prefix and length are checked before its body is read: a huge sparse file (no disk,
// no time) is refused in one line, never loaded (bad_alloc, or the machine's memory taken).
TEST_F(Checkpoint_Test, HugeFilesAreRefusedBeforeTheirBodyIsRead) {
  constexpr uint64_t kHuge = uint64_t(1) << 42;  // 4 TiB, beyond any test machine's memory
  const std::string good = [&] {
    Run_Model(1, 100, 10, File("good.ckpt"), 4, true);
    return Read_File(File("good.ckpt"));
  }();
  auto sparse = [&](const std::string& name, const std::string& prefix) {
    std::ofstream(File(name), std::ios::binary) << prefix;
    std::filesystem::resize_file(File(name), kHuge);
    return File(name);
  };
  std::string claims_all = good.substr(0, 28), claims_less = claims_all;
  const uint64_t all = kHuge - 28, less = good.size() - 28;
  std::memcpy(claims_all.data() + 16, &all, 8);
  std::memcpy(claims_less.data() + 16, &less, 8);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {sparse("zeros.ckpt", ""), "not a Quarnel checkpoint"},
      {sparse("all.ckpt", claims_all), "more than this machine's memory"},
      {sparse("less.ckpt", claims_less), "cut short or extended"},
  };
  for (const auto& [file, expected] : cases) {
    const std::string message = Refusal([&] { Checkpoint_Reader reader(file); });
    EXPECT_NE(message.find(expected), std::string::npos) << file << ": " << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    std::filesystem::remove(file);
  }
}

// A place that could not take a checkpoint is refused at once, in one line; a good one is left
// as it was.
TEST_F(Checkpoint_Test, CheckpointPathsThatCannotTakeOneAreRefusedAtOnce) {
  std::filesystem::create_directory(File("folder.ckpt"));
  std::filesystem::create_directory(File("blocked.ckpt.tmp"));
  std::ofstream(File("plain")) << "x";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {File("folder.ckpt"), "it is a folder"},
      {File("folder.ckpt") + "/", "names a folder"},
      {File("missing/x.ckpt"), "No such file or directory"},
      {File("plain") + "/x.ckpt", "is not a folder"},
      {File("blocked.ckpt"), "blocked.ckpt.tmp: it is not a regular file"},
      {"/dev/null", "not a regular file"},
  };
  for (const auto& [path, expected] : cases) {
    const std::string message = Refusal([&] { Check_Checkpoint_Path(path); });
    EXPECT_NE(message.find(expected), std::string::npos) << path << ": " << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  }
  const auto before = std::distance(std::filesystem::directory_iterator(File("")), {});
  EXPECT_EQ(Refusal([&] { Check_Checkpoint_Path(File("fine.ckpt")); }), "(accepted)");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(File("")), {}), before) << "no file left";
}

// A checkpoint whose body is whole but does not match the description (another model's types)
// is refused before anything of the run is touched beyond the clock.
class Stranger : public Agent<Stranger> {
 public:
  void Act(Next&) {}
  template <class Archive>
  void serialize(Archive& a) {
    a(_x);
  }
  int32_t _x = 0;
};

TEST_F(Checkpoint_Test, AnotherModelsContentsAreRefused) {
  Run_Model(1, 100, 10, File("m.ckpt"), 4, true);
  const std::string message = Refusal([&] {
    Shared shared;
    Simulation run(quarnel::testing::Make_Configuration(1, 10), shared);
    run.Attach_Measures(shared.measures);
    Checkpoint_Reader reader(File("m.ckpt"));
    reader.Restore(&shared.measures, [&](Checkpoint_Io& io) { io.Objects<Stranger>(); });
  });
  EXPECT_NE(message.find("does not fit this model"), std::string::npos) << message;
  EXPECT_NE(message.find("Stranger"), std::string::npos) << message;
}

// The previous checkpoint stays whole when a write cannot be finished.
TEST_F(Checkpoint_Test, FailedWriteKeepsThePreviousFile) {
  Run_Model(1, 100, 10, File("keep.ckpt"), 4, true);
  const std::string before = Read_File(File("keep.ckpt"));
  std::filesystem::create_directory(File("keep.ckpt.tmp"));  // the temporary file cannot be made
  const std::string message = Refusal([&] { Run_Model(1, 100, 10, File("keep.ckpt"), 6, true); });
  EXPECT_NE(message.find("cannot write the checkpoint"), std::string::npos) << message;
  EXPECT_TRUE(Read_File(File("keep.ckpt")) == before);
}

// The order a save writes a type's objects in, from entries taken in the walk's order: the
// walk's order may be anything (objects made later reuse freed cells), and the file's must be
// the same whatever it was. Each case goes through one Walk_Order, as a run's checkpoints do.
TEST(Checkpoint_Walk_Order, GivesEveryEntryBackInOrderWhateverTheWalk) {
  using checkpoint_detail::Identified_Entry;
  std::mt19937_64 random(kSeed);
  auto sorted = [](size_t n) {
    std::vector<uint64_t> ids(n);
    for (size_t i = 0; i < n; ++i) ids[i] = 10 * (i + 1);
    return ids;
  };
  std::vector<std::pair<std::string, std::vector<uint64_t>>> walks;
  walks.emplace_back("empty", std::vector<uint64_t>{});
  walks.emplace_back("one", std::vector<uint64_t>{5});
  walks.emplace_back("two reversed", std::vector<uint64_t>{9, 4});
  walks.emplace_back("in order", sorted(50000));
  std::vector<uint64_t> reversed = sorted(50000);
  std::reverse(reversed.begin(), reversed.end());
  walks.emplace_back("reversed", reversed);
  // Objects made later (large hashed identities) in freed cells: alone, in runs, at the ends.
  for (size_t run : {size_t(1), size_t(3), size_t(40)}) {
    std::vector<uint64_t> ids = sorted(50000);
    for (size_t at = 7; at < ids.size(); at += 997)
      for (size_t k = 0; k < run && at + k < ids.size(); ++k) ids[at + k] = random() | (uint64_t(1) << 62);
    ids.front() = random() | (uint64_t(1) << 62);
    ids.back() = 3;
    walks.emplace_back("made later, in runs of " + std::to_string(run), ids);
  }
  // Just under and just over one in 64 out of place, and a shuffle.
  for (size_t every : {size_t(70), size_t(60), size_t(1)}) {
    std::vector<uint64_t> ids = sorted(20000);
    for (size_t at = 0; at + 1 < ids.size(); at += every) std::swap(ids[at], ids[at + 1]);
    if (every == 1) std::shuffle(ids.begin(), ids.end(), random);
    walks.emplace_back("swapped every " + std::to_string(every), ids);
  }
  // Large shuffled walks (ordered on a window of their top differing bits, then within runs
  // alike in it): identities spread over 64 bits, over a few million, and in two clusters
  // that share the window's bits and differ only below it.
  std::vector<uint64_t> spread(200000), dense = sorted(200000), clustered(200000);
  for (uint64_t& id : spread) id = random();
  for (size_t i = 0; i < clustered.size(); ++i)
    clustered[i] = (random() % 2) << 40 | (i * 7 % clustered.size());
  for (auto* ids : {&spread, &dense, &clustered}) std::shuffle(ids->begin(), ids->end(), random);
  walks.emplace_back("shuffled, spread over 64 bits", spread);
  walks.emplace_back("shuffled, dense", dense);
  walks.emplace_back("shuffled, in clusters", clustered);
  checkpoint_detail::Walk_Order<Identified_Entry, checkpoint_detail::Identity_Order> order;
  for (int round = 0; round < 2; ++round) {
    for (const auto& [name, ids] : walks) {
      SCOPED_TRACE(name);
      order.Start(ids.size(), {});
      for (size_t i = 0; i < ids.size(); ++i) order.Push(Identified_Entry{ids[i], i, nullptr});
      order.Finish();
      std::vector<uint64_t> seen;
      order.For_Each([&](const Identified_Entry& e) {
        EXPECT_EQ(ids[e.revision], e.identity);  // each entry whole
        seen.push_back(e.identity);
      });
      std::vector<uint64_t> expected = ids;
      std::sort(expected.begin(), expected.end());
      ASSERT_EQ(order.size(), ids.size());
      ASSERT_EQ(seen, expected);
    }
  }
}

// Objects without an identity go by (next revision, the first 8 bytes, then all the bytes):
// records alike in their first 8 bytes, or of other lengths, still come out in byte order.
void Check_Record_Order(int n) {
  SCOPED_TRACE(n);
  using checkpoint_detail::Record_Entry;
  std::mt19937_64 random(kSeed);
  checkpoint_detail::Byte_Buffer bytes;
  std::vector<Record_Entry> entries;
  std::vector<std::pair<uint64_t, std::string>> expected;
  for (int i = 0; i < n; ++i) {
    std::string record = "prefix__" + std::to_string(random() % 5000);  // 8 bytes alike
    if (i % 7 == 0) record = std::to_string(random() % 100);            // shorter than 8
    const uint64_t revision = random() % 3;
    const Record_Entry e{revision, checkpoint_detail::Record_Key(record.data(), record.size()), bytes.size(),
                         record.size()};
    bytes.Put(record.data(), record.size());
    entries.push_back(e);
    expected.emplace_back(revision, record);
  }
  checkpoint_detail::Walk_Order<Record_Entry, checkpoint_detail::Record_Order> order;
  order.Start(entries.size(), {&bytes});
  for (const Record_Entry& e : entries) order.Push(e);
  order.Finish();
  std::vector<std::pair<uint64_t, std::string>> seen;
  order.For_Each([&](const Record_Entry& e) {
    seen.emplace_back(e.revision, std::string(bytes.data() + e.offset, e.size));
  });
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(seen, expected);
}

TEST(Checkpoint_Walk_Order, OrdersRecordsByRevisionThenTheirBytes) {
  for (int n : {30000, 100000}) Check_Record_Order(n);
}

}  // namespace
