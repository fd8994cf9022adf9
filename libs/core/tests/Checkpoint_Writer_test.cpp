// The checkpoint writer: a checkpoint finished by the writer's thread is in place, whole, after
// Wait; a failure to finish it is thrown once and never lost; contents that throw leave no
// temporary file; a body larger than the writer's buffers reads back. The canonical order of
// the objects does not depend on the order in which they were made, however their keys spread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

#include <quarnel/Checkpoint.h>
#include <quarnel/Quarnel.h>

namespace {

using namespace quarnel;

// Not identified: its records are ordered by their bytes.
class Piece : public Agent<Piece> {
 public:
  Piece() = default;
  Piece(uint64_t a, uint32_t b) : _a(a), _b(b) {}
  void Act(Next&) {}
  template <class Archive>
  void serialize(Archive& a) {
    a(_a, _b);
  }
  uint64_t _a = 0;
  uint32_t _b = 0;
};

class Tagged : public Identified_Agent<Tagged> {
 public:
  Tagged() = default;
  explicit Tagged(uint32_t tag) : _tag(tag) {}
  void Act(Next&) {}
  template <class Archive>
  void serialize(Archive& a) {
    a(_tag);
  }
  uint32_t _tag = 0;
};

void Contents(Checkpoint_Io& io) {
  io.Objects<Piece>();
  io.Objects<Tagged>();
}

Checkpoint_Header Header(uint32_t iteration) {
  Checkpoint_Header header;
  header.model = "writer_test";
  header.iteration = iteration;
  return header;
}

// A simulation on one worker for the length of a scope, with small blocks.
struct One_Worker {
  One_Worker() {
    Simulation_Configuration config;
    config.num_threads = 1;
    World::Initialize_Simulation(config);
    Set_Block_Size<Piece>(64);
    Set_Block_Size<Tagged>(64);
  }
  ~One_Worker() { World::Terminate_Simulation(); }
};

std::string Read_File(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class Checkpoint_Writer_Test : public ::testing::Test {
 protected:
  std::filesystem::path _dir = std::filesystem::temp_directory_path() /
                               ("quarnel_checkpoint_writer_test_" + std::to_string(::getpid()));
  void SetUp() override { std::filesystem::create_directories(_dir); }
  void TearDown() override { std::filesystem::remove_all(_dir); }
  std::string File(const std::string& name) const { return (_dir / name).string(); }
};

// Pieces whose first 8 bytes spread widely (random), narrowly (small numbers) or not at all
// (ties broken by the later bytes); identities in order with random ones among them (mostly
// ordered) and all random. Made in two different orders, they write the same file, and loaded
// on one worker (made in the file's order) they come out in the canonical order.
TEST(Checkpoint_Order, DoesNotDependOnTheOrderObjectsWereMade) {
  std::mt19937_64 draw(5);
  std::vector<Piece> pieces;
  for (uint32_t i = 0; i < 6000; ++i) pieces.emplace_back(draw(), i);
  for (uint32_t i = 0; i < 6000; ++i) pieces.emplace_back(i % 3000, i);
  for (uint32_t i = 0; i < 6000; ++i) pieces.emplace_back(7, uint32_t(draw()));
  std::vector<uint64_t> identities;
  for (uint64_t i = 0; i < 20000; ++i) {
    identities.push_back(Root_Identity(i));
    if (i % 97 == 0) identities.push_back(draw() | 1);
  }
  const std::filesystem::path dir = std::filesystem::temp_directory_path();
  const std::string made = (dir / ("quarnel_order_made_" + std::to_string(::getpid()))).string();
  const std::string shuffled = (dir / ("quarnel_order_shuffled_" + std::to_string(::getpid()))).string();
  auto write = [&](const std::string& path) {
    const One_Worker run;
    for (const Piece& p : pieces) Create<Piece>(p._a, p._b)->Schedule_At(Revision(0, 0));
    for (uint64_t identity : identities)
      Create_Identified<Tagged>(identity, uint32_t(identity))->Schedule_At(Revision(0, 0));
    Write_Checkpoint(path, Header(0), nullptr, Contents);
  };
  write(made);
  std::shuffle(pieces.begin(), pieces.end(), draw);
  // Mostly in order: a few identities moved far from their place.
  for (size_t i = 0; i + 5000 < identities.size(); i += 1999) std::swap(identities[i], identities[i + 5000]);
  write(shuffled);
  EXPECT_TRUE(Read_File(made) == Read_File(shuffled));
  std::shuffle(identities.begin(), identities.end(), draw);
  write(shuffled);
  EXPECT_TRUE(Read_File(made) == Read_File(shuffled));

  const One_Worker run;
  Checkpoint_Reader(made).Restore(nullptr, Contents);
  std::vector<std::string> records;
  For_Each_Live<Piece>([&](Piece& p) {
    std::string bytes(12, '\0');
    std::memcpy(bytes.data(), &p._a, 8);
    std::memcpy(bytes.data() + 8, &p._b, 4);
    records.push_back(bytes);
  });
  ASSERT_EQ(records.size(), pieces.size());
  EXPECT_TRUE(std::is_sorted(records.begin(), records.end()));
  std::vector<uint64_t> loaded;
  For_Each_Live<Tagged>([&](Tagged& t) { loaded.push_back(t._identity); });
  std::sort(identities.begin(), identities.end());
  EXPECT_EQ(loaded, identities);
  std::filesystem::remove(made);
  std::filesystem::remove(shuffled);
}

// A failure to put the checkpoint in place (here: a folder stands at its name) is thrown by
// Wait, once, with the temporary file removed; a Write after a failure not yet reported throws
// it instead of writing.
TEST_F(Checkpoint_Writer_Test, FailureToFinishIsThrownOnceNeverLost) {
  const One_Worker run;
  const std::string path = File("blocked.ckpt");
  std::filesystem::create_directories(std::filesystem::path(path) / "inside");
  Checkpoint_Writer writer(path);
  writer.Write(Header(1), nullptr, Contents);
  std::string message;
  try {
    writer.Wait();
  } catch (const Checkpoint_Error& e) {
    message = e.what();
  }
  EXPECT_NE(message.find("cannot put the checkpoint in place"), std::string::npos) << message;
  EXPECT_EQ(message.find('\n'), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  EXPECT_NO_THROW(writer.Wait());

  writer.Write(Header(2), nullptr, Contents);
  EXPECT_THROW(writer.Write(Header(3), nullptr, Contents), Checkpoint_Error);
  EXPECT_TRUE(std::filesystem::is_directory(path));
}

// While a checkpoint is on its way the file holds the previous one, whole; after Wait it
// holds the new one. Contents that throw pass through, leave no temporary file and keep the
// file; the writer then writes again.
TEST_F(Checkpoint_Writer_Test, TheFileIsAlwaysAWholeCheckpoint) {
  const One_Worker run;
  for (uint32_t i = 0; i < 5000; ++i) Create<Piece>(i, i)->Schedule_At(Revision(0, 0));
  const std::string path = File("run.ckpt");
  Checkpoint_Writer writer(path);
  writer.Write(Header(1), nullptr, Contents);
  writer.Wait();
  for (uint32_t iteration = 2; iteration < 6; ++iteration) {
    writer.Write(Header(iteration), nullptr, Contents);
    const uint32_t seen = Checkpoint_Reader(path).header().iteration;  // refused if not whole
    EXPECT_TRUE(seen == iteration - 1 || seen == iteration) << seen;
    writer.Wait();
    EXPECT_EQ(Checkpoint_Reader(path).header().iteration, iteration);
  }
  EXPECT_THROW(writer.Write(Header(9), nullptr,
                            [](Checkpoint_Io& io) {
                              io.Objects<Piece>();
                              throw std::runtime_error("the model failed");
                            }),
               std::runtime_error);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
  EXPECT_EQ(Checkpoint_Reader(path).header().iteration, 5u);
  writer.Write(Header(10), nullptr, Contents);
  writer.Wait();
  EXPECT_EQ(Checkpoint_Reader(path).header().iteration, 10u);
}

// A body many times the writer's buffers goes through them while it is made, and reads back.
TEST_F(Checkpoint_Writer_Test, ABodyLargerThanTheBuffersReadsBack) {
  const One_Worker run;
  std::vector<uint64_t> values(size_t(12) << 20);  // 96 MiB
  for (size_t i = 0; i < values.size(); ++i) values[i] = i * 0x9E3779B97F4A7C15ull;
  int64_t last = -3;
  Write_Checkpoint(File("big.ckpt"), Header(0), nullptr, [&](Checkpoint_Io& io) { io.State(values, last); });
  std::vector<uint64_t> read;
  int64_t read_last = 0;
  Checkpoint_Reader(File("big.ckpt")).Restore(nullptr, [&](Checkpoint_Io& io) { io.State(read, read_last); });
  EXPECT_TRUE(read == values);
  EXPECT_EQ(read_last, last);
}

}  // namespace
