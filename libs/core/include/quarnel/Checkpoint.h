// Checkpoints: a run's whole state in one file, from which a later run continues exactly where
// this one was, on any number of workers and with any block size.
//
// What a model writes: one description of its state, used both to save and to load it.
//
//   class Sheep : public quarnel::Agent<Sheep> {
//     ...
//     template <class Archive> void serialize(Archive& a) { a(_cell, _energy, quarnel::Ref(_mother)); }
//   };
//   void Contents(quarnel::Checkpoint_Io& io) {    // the same calls in the same order, always
//     io.Objects<Sheep>();
//     io.Objects<Grass_Row>();
//     io.State(shared.moved, shared.grass);        // cereal values: numbers, strings, vectors, ...
//   }
//
// Each type says how its own fields are saved, cereal style; the engine saves what it owns
// itself (the object's identity and next revision). A field that points at another object
// (of an identified type) is saved as that object's identity through Ref(pointer) and set
// again once every object of the checkpoint exists. A checkpointed type has a public default
// constructor: loading creates each object empty and then reads its fields.
//
// The file (every number little-endian):
//   "QRNLCKPT"  format version (u32)  0 (u32)  body length (u64)  CRC-32 of the body (u32)
//   body, a cereal binary archive:
//     header: model name, model version, the run's parameters as (name, text) pairs, seed
//     clock: iterations finished; records: the last step written, rows, SQLite run (0: none),
//       CSV bytes and digest
//     the run fingerprint's digest; the measures' running state
//     per Objects<T> in order: T's name, count, then every live T in a canonical order
//       (identified types by identity; others by their saved bytes), each as [identity]
//       next revision (__revision_omega: not scheduled) and fields
//     per State in order: the values.
// The file therefore does not depend on the workers, the block sizes or the order in which
// objects were made or stepped: two runs in the same state write the same file.
//
// An event waiting in its block's heap is saved with its due revision and goes back into a
// heap when loaded. An event parked at the run's final iteration (Event_Object.h) is saved due
// at its answer too: at the last step, the state is that of a run that goes on, so a longer
// run resumed from the file calls the event then. One never scheduled is saved unscheduled.
//
// Writing: to "<file>.tmp" in the same folder, fsync, rename over <file>, fsync the folder: a
// process killed during the write leaves the previous checkpoint whole. The controlling thread
// makes the body (the state as it is at the call) into a bounded pool of buffers and a writer's
// thread computes its CRC-32 and writes it to the temporary file on the way, the prefix last;
// the sync and the rename are that thread's too (Checkpoint_Writer), so a run goes on while
// its checkpoint reaches the disk. A body larger than the pool is written while it is made:
// a checkpoint never holds more than the pool's size of the state in memory.
//
// Loading refuses, with a Checkpoint_Error whose what() is one line, a missing or empty file,
// one cut short or with a byte changed (length, CRC-32), a newer format, another model's
// (the caller compares the header), and a body that does not read back as this model's
// description (a type's name, a count beyond the file, a revision before the clock, an
// identity given twice, a reference to no object); it never crashes on a file's contents.
//
// What is not saved: the record of identities given to objects released before the
// checkpoint (a resumed run checks new identities against the live ones only), and anything
// a model keeps outside its objects and its State calls.
//
// Thread safety: controlling thread only (the writer's own thread touches only the body's
// buffers and the file). Saving: while no worker steps (the iteration hook, or between runs).
// Loading: during set-up, after the Simulation is made and its measures attached, before Run.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <cereal/archives/binary.hpp>
#include <cereal/types/string.hpp>
#include <cereal/types/utility.hpp>
#include <cereal/types/vector.hpp>

#include <quarnel/Live_Objects.h>
#include <quarnel/Measures.h>
#include <quarnel/Model.h>
#include <quarnel/Object_Identity.h>
#include <quarnel/Run_Fingerprint.h>

namespace quarnel {

static_assert(std::endian::native == std::endian::little, "checkpoints are written little-endian");

constexpr uint32_t __checkpoint_format = 2;

class Checkpoint_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where a run's records stand: the last step written, the rows written, its SQLite run.
// With the CSV file's length and a digest of its bytes then (0 bytes: the run writes none), by
// which a resume knows the file for the run's own.
struct Records_Position {
  uint64_t step = 0;
  uint64_t rows = 0;
  int64_t run = 0;
  uint64_t csv_bytes = 0;
  uint64_t csv_digest = 0;
};

// Who wrote the checkpoint and where the run stood.
struct Checkpoint_Header {
  std::string model;
  std::string model_version;
  std::vector<std::pair<std::string, std::string>> parameters;
  uint64_t seed = 0;
  uint32_t iteration = 0;  // iterations finished: the run continues with this one
  Records_Position records;
};

namespace checkpoint_detail {

// Where a save's bytes go: a window [_at, _end) that Put fills inline; Spill takes what does
// not fit (and sets a new window).
class Byte_Out {
 public:
  void Put(const void* data, size_t n) {
    if (n <= size_t(_end - _at)) {
      if (n > 0) std::memcpy(_at, data, n);  // an empty vector's data() may be null
      _at += n;
    } else {
      Spill(static_cast<const char*>(data), n);
    }
  }

 protected:
  Byte_Out() = default;
  ~Byte_Out() = default;
  Byte_Out(const Byte_Out&) = delete;
  Byte_Out& operator=(const Byte_Out&) = delete;
  virtual void Spill(const char* data, size_t n) = 0;
  char* _at = nullptr;
  char* _end = nullptr;
};

// A growing byte buffer; clear() keeps its memory for the next use.
class Byte_Buffer final : public Byte_Out {
 public:
  Byte_Buffer() = default;
  virtual ~Byte_Buffer() = default;
  const char* data() const { return _bytes.get(); }
  size_t size() const { return size_t(_at - _bytes.get()); }
  size_t capacity() const { return size_t(_end - _bytes.get()); }
  void clear() { _at = _bytes.get(); }
  void reserve(size_t n);

 private:
  void Spill(const char* data, size_t n) override;
  std::unique_ptr<char[]> _bytes;
};

// A read-only view of bytes as a stream buffer; a read past the end reads short, which
// cereal reports as an exception.
class Byte_Source : public std::streambuf {
 public:
  Byte_Source(const char* first, size_t n) {
    setg(const_cast<char*>(first), const_cast<char*>(first), const_cast<char*>(first) + n);
  }
  size_t remaining() const { return size_t(egptr() - gptr()); }
};

// The references of a load, set once every object exists (Checkpoint_Io::Finish).
struct Pending_Reference {
  void** slot;
  uint64_t identity;
  uint64_t component;
};

// A saved object of an identified type, to be written in identity order.
struct Identified_Entry {
  uint64_t identity;
  uint64_t revision;
  void* object;
};
// A saved object of another type: its record's place in a Byte_Buffer, and its sort key
// (next revision, then the record's first 8 bytes big-endian, padded with zeros).
struct Record_Entry {
  uint64_t revision;
  uint64_t key;
  size_t offset, size;
};
// A record's first 8 bytes as a big-endian number, padded with zeros.
inline uint64_t Record_Key(const char* record, size_t size) {
  uint64_t key = 0;
  if (size >= 8) {
    std::memcpy(&key, record, 8);
    return std::endian::native == std::endian::little ? __builtin_bswap64(key) : key;
  }
  for (size_t k = 0; k < size; ++k) key |= uint64_t(uint8_t(record[k])) << (56 - 8 * k);
  return key;
}

// The orders of the file: identified objects by identity; others by (next revision, key, then
// the bytes of their records, kept in `records`).
struct Identity_Order {
  bool operator()(const Identified_Entry& a, const Identified_Entry& b) const {
    return a.identity < b.identity;
  }
};
struct Record_Order {
  const Byte_Buffer* records;
  bool operator()(const Record_Entry& a, const Record_Entry& b) const {
    if (a.revision != b.revision) return a.revision < b.revision;
    if (a.key != b.key) return a.key < b.key;
    return std::string_view(records->data() + a.offset, a.size) <
           std::string_view(records->data() + b.offset, b.size);
  }
};

// Room for `n` elements, with a quarter more when it must grow: a run's objects grow in number
// between checkpoints, and fresh memory costs a page fault and a clearing per page, more than
// the pass that fills it.
template <class Vector>
void Reserve_Room(Vector& v, size_t n) {
  if (v.capacity() < n) v.reserve(n + n / 4);
}

// The entries of one type's walk, taken one at a time in the walk's order and given back in
// the file's order (`Less`). An entry in order (not before the last kept one, not after the
// one that follows it) is kept as it comes; the others are set aside, ordered alone and merged
// in as the entries are read. Blocks mostly keep the order in which objects were made, so a
// walk is usually in nearly the file's order and its ordering takes no pass over the entries;
// when more than one in 64 is out of place, all are ordered together (Finish).
//
// Invariant: after Finish, `kept` is in order and so is `aside`; each entry pushed is in one.
template <class Entry, class Less>
class Walk_Order {
 public:
  // REQUIRES: about n entries to come.
  void Start(size_t n, Less less) {
    _less = less;
    _kept.clear();
    _aside.clear();
    _has_pending = false;
    Reserve_Room(_kept, n);
  }
  void Push(const Entry& e) {
    if (_has_pending) privDecide(!_less(e, _pending));
    _pending = e;
    _has_pending = true;
  }
  void Finish();  // defined for the two entry types in Checkpoint.cpp
  size_t size() const { return _kept.size() + _aside.size(); }
  // Calls visit(entry) for every entry, in order, and ahead(entry) some entries before an
  // entry kept in order is visited (so that what visit reads can be asked for in advance).
  // REQUIRES: Finish.
  template <class Visit, class Ahead>
  void For_Each(Visit&& visit, Ahead&& ahead) const {
    constexpr size_t kAhead = 8;
    for (size_t k = 0; k < std::min(kAhead, _kept.size()); ++k) ahead(_kept[k]);
    size_t a = 0;
    for (size_t k = 0; k < _kept.size(); ++k) {
      if (k + kAhead < _kept.size()) ahead(_kept[k + kAhead]);
      while (a < _aside.size() && _less(_aside[a], _kept[k])) visit(_aside[a++]);
      visit(_kept[k]);
    }
    for (; a < _aside.size(); ++a) visit(_aside[a]);
  }
  template <class Visit>
  void For_Each(Visit&& visit) const {
    For_Each(visit, [](const Entry&) {});
  }

 private:
  template <class High, class Low>
  void privFinish(High high, Low low);  // Checkpoint.cpp
  void privDecide(bool before_next) {
    if (before_next && (_kept.empty() || !_less(_pending, _kept.back())))
      _kept.push_back(_pending);
    else
      _aside.push_back(_pending);
  }
  Less _less{};
  std::vector<Entry> _kept, _aside, _scratch;
  Entry _pending{};
  bool _has_pending = false;
};

template <>
void Walk_Order<Identified_Entry, Identity_Order>::Finish();
template <>
void Walk_Order<Record_Entry, Record_Order>::Finish();

// What a save reuses from one checkpoint to the next, so that a run's later checkpoints take
// no fresh memory.
struct Save_Scratch {
  Walk_Order<Identified_Entry, Identity_Order> identified;
  Walk_Order<Record_Entry, Record_Order> records;
  Byte_Buffer fields;
};

class Body_Pipe;

}  // namespace checkpoint_detail

// A cereal output archive that writes the bytes of cereal's binary archive (so
// cereal::BinaryInputArchive reads them back) into a Byte_Out, without a stream between.
class Checkpoint_Output_Archive
    : public cereal::OutputArchive<Checkpoint_Output_Archive, cereal::AllowEmptyClassElision> {
 public:
  explicit Checkpoint_Output_Archive(checkpoint_detail::Byte_Out& out)
      : cereal::OutputArchive<Checkpoint_Output_Archive, cereal::AllowEmptyClassElision>(this), _out(&out) {}
  void saveBinary(const void* data, std::streamsize size) { _out->Put(data, size_t(size)); }

 private:
  checkpoint_detail::Byte_Out* _out;
};

template <class T>
std::enable_if_t<std::is_arithmetic_v<T>> CEREAL_SAVE_FUNCTION_NAME(Checkpoint_Output_Archive& a,
                                                                    const T& t) {
  a.saveBinary(std::addressof(t), sizeof(t));
}
template <class T>
void CEREAL_SAVE_FUNCTION_NAME(Checkpoint_Output_Archive& a, const cereal::BinaryData<T>& data) {
  a.saveBinary(data.data, std::streamsize(data.size));
}
template <class T>
void CEREAL_SERIALIZE_FUNCTION_NAME(Checkpoint_Output_Archive& a, cereal::NameValuePair<T>& t) {
  a(t.value);
}
template <class T>
void CEREAL_SERIALIZE_FUNCTION_NAME(Checkpoint_Output_Archive& a, cereal::SizeTag<T>& t) {
  a(t.size);
}

class Checkpoint_Io;

// A field that points at an object of identified type T, saved as its identity (0: null).
template <class T>
struct Object_Reference {
  T*& pointer;
  template <class Archive>
  void save(Archive& a) const;
  template <class Archive>
  void load(Archive& a);
};
template <class T>
Object_Reference<T> Ref(T*& pointer) {
  static_assert(
      std::is_base_of_v<Identified_Execution_Object, T> || std::is_base_of_v<Identified_Event_Object, T>,
      "quarnel::Ref: only objects of an identified type (Identified_Agent, Identified_Event) can be "
      "referred to from a checkpoint");
  return Object_Reference<T>{pointer};
}

// Saves or loads one checkpoint's body. Made by Write_Checkpoint or Read_Checkpoint; the
// model's description calls Objects and State on it.
class Checkpoint_Io {
 public:
  bool saving() const { return _out != nullptr; }

  // Every live T (saving), or as many Ts as were saved, made anew and scheduled (loading).
  template <class T>
  void Objects();
  // The same for an identified type of the engine's component interface (a Quarnel_Component
  // over Identified_Execution_Object or Identified_Event_Object), which binds its own handler:
  // loading, `load(identity, next)` returns a new T with `identity` (Allocate_Identified) whose
  // handler it has loaded at `next` (__revision_omega: saved unscheduled); its fields are read
  // afterwards. Saving is Objects<T>()'s, and so is the file.
  template <class T, class Load>
  void Objects(Load&& load);

  // The values, in order (each one cereal can save: numbers, strings, vectors, structs with
  // serialize).
  template <class... Values>
  void State(Values&... values) {
    try {
      if (_out)
        (*_out)(values...);
      else
        (*_in)(values...);
    } catch (const cereal::Exception& e) {
      Refuse(std::string("a saved value does not read back: ") + e.what());
    }
  }

  [[noreturn]] void Refuse(const std::string& what) const;

  // Internal: the open Io (set while one saves or loads; the references find it here).
  static Checkpoint_Io* current();
  void privAdd_Reference(void** slot, uint64_t identity, uint64_t component);

 private:
  friend class Checkpoint_Writer;
  friend class Checkpoint_Reader;
  Checkpoint_Io(Checkpoint_Output_Archive* out, checkpoint_detail::Save_Scratch* scratch,
                cereal::BinaryInputArchive* in, checkpoint_detail::Byte_Source* source, uint32_t iteration)
      : _out(out), _scratch(scratch), _in(in), _source(source), _iteration(iteration) {
    privEnter();
  }
  ~Checkpoint_Io();
  Checkpoint_Io(const Checkpoint_Io&) = delete;
  Checkpoint_Io& operator=(const Checkpoint_Io&) = delete;
  void privEnter();
  // Sets every reference (the loaded objects of each component, by identity).
  void privFinish();
  template <class T>
  void privSave();
  // `load`: null for a model type (Create_Identified or Create, then Schedule_At).
  template <class T, class Load = std::nullptr_t>
  void privLoad(Load* load = nullptr);
  void privCheck_Name(const std::string& name);
  uint64_t privRead_Count(size_t least_bytes_each);
  Revision privRead_Revision();

  Checkpoint_Output_Archive* _out;
  checkpoint_detail::Save_Scratch* _scratch;  // saving only
  cereal::BinaryInputArchive* _in;
  checkpoint_detail::Byte_Source* _source;
  uint32_t _iteration;
  // Loading: per component id, the objects of an identified type in identity order.
  std::vector<std::pair<uint64_t, std::vector<std::pair<uint64_t, void*>>>> _loaded;
  std::vector<checkpoint_detail::Pending_Reference> _references;
};

// Writes the checkpoints of one file, one at a time. Write makes the body in memory on the
// calling thread (the state as it is then) and returns; a thread of the writer's own computes
// its CRC-32, writes it to "<file>.tmp", fsyncs it, renames it over <file> and fsyncs the
// folder. Until that rename <file> keeps the previous checkpoint whole, so a process killed at
// any point leaves a whole checkpoint (or none before the first).
//
// The body goes through a pool of buffers of bounded size, kept from one checkpoint to the
// next: a body larger than the pool is written while it is made, the calling thread waiting
// for buffers the file has taken.
//
// A failure is never lost: the temporary file cannot be made (Write throws at once), or a
// write, the sync or the rename fails (the next Write or Wait throws it, once). After a
// failure <file> is left as it was.
//
// Thread safety: one controlling thread calls everything; Write while no worker steps. The
// destructor waits for the checkpoint on its way; a failure that no Wait reported then goes
// to standard error as one line (no exception), so a caller that must act on it calls Wait.
class Checkpoint_Writer {
 public:
  explicit Checkpoint_Writer(std::filesystem::path path);
  ~Checkpoint_Writer();
  Checkpoint_Writer(const Checkpoint_Writer&) = delete;
  Checkpoint_Writer& operator=(const Checkpoint_Writer&) = delete;

  // Waits for the previous checkpoint (a Checkpoint_Error if it failed), then makes the body
  // of the run that turns (or has just stopped): `header`, the clock (header.iteration), the
  // run fingerprint, `measures` (null: none) and what `contents(io)` describes. An exception
  // of `contents` passes through, and the temporary file is removed.
  template <class Contents>
  void Write(const Checkpoint_Header& header, const Measures* measures, Contents&& contents);
  // Returns once the last checkpoint written is in place; a Checkpoint_Error if it failed.
  void Wait();

 private:
  checkpoint_detail::Byte_Out& privBegin();
  void privEnd();
  void privAbandon() noexcept;
  std::filesystem::path _path;
  std::unique_ptr<checkpoint_detail::Body_Pipe> _pipe;
  checkpoint_detail::Save_Scratch _scratch;
};

// A one-line Checkpoint_Error when checkpoints could not be put at `path`: it is a folder or
// not a regular file, its folder is missing or takes no new file, or "<path>.tmp" is not a
// regular file. A program calls it before its run, so that a stop signal finds the place
// writable. It makes and removes one temporary file in the folder.
void Check_Checkpoint_Path(const std::filesystem::path& path);

// Writes the checkpoint of the run that turns (or has just stopped) to `path` and returns once
// it is in place (Checkpoint_Writer's Write, then Wait). A Checkpoint_Error when the file
// cannot be written (the previous file, if any, is then left as it was). REQUIRES: controlling
// thread, no worker stepping.
template <class Contents>
void Write_Checkpoint(const std::filesystem::path& path, const Checkpoint_Header& header,
                      const Measures* measures, Contents&& contents) {
  Checkpoint_Writer writer(path);
  writer.Write(header, measures, std::forward<Contents>(contents));
  writer.Wait();
}

// A checkpoint read from a file and checked (length, CRC-32, format), its header parsed;
// Restore puts its state into the run that is set up.
class Checkpoint_Reader {
 public:
  // Reads and checks `path`; a one-line Checkpoint_Error when it is missing, not a regular file,
  // empty, cut short, changed, of another format, or its header does not read. The prefix and
  // the length are checked before the body is read, and a body larger than the machine's
  // memory is refused unread.
  explicit Checkpoint_Reader(const std::filesystem::path& path);
  // The same from bytes in memory (`name` in messages).
  Checkpoint_Reader(std::string bytes, const std::string& name);

  const Checkpoint_Header& header() const { return _header; }

  // Sets the clock to the saved iteration, the run fingerprint and `measures` (null: the
  // saved measures are skipped) to their saved state, and loads `contents(io)`. A
  // Checkpoint_Error when the body does not read back as that description. REQUIRES: the
  // run set up (Simulation made, measures attached), not turning, no object made yet.
  template <class Contents>
  void Restore(Measures* measures, Contents&& contents);

 private:
  void privParse(const std::string& name);
  void privRestore_Run(Measures* measures, cereal::BinaryInputArchive& in,
                       checkpoint_detail::Byte_Source& source);
  std::string _bytes;
  std::string _name;
  size_t _body_offset = 0;  // where the measures and the contents begin
  Checkpoint_Header _header;
  Run_Digest _fingerprint;
};

namespace checkpoint_detail {
// The header, clock, records and fingerprint as the body begins.
void Save_Run(Checkpoint_Output_Archive& out, const Checkpoint_Header& header, const Measures* measures);
}  // namespace checkpoint_detail

// ---------------------------------------------------------------------------------------
// Templates.

template <class T>
template <class Archive>
void Object_Reference<T>::save(Archive& a) const {
  a(uint64_t(pointer == nullptr ? __identity_none : pointer->_identity));
}

template <class T>
template <class Archive>
void Object_Reference<T>::load(Archive& a) {
  uint64_t identity = 0;
  a(identity);
  pointer = nullptr;
  if (identity != __identity_none)
    Checkpoint_Io::current()->privAdd_Reference(reinterpret_cast<void**>(&pointer), identity,
                                                T::component_id);
}

template <class T>
void Checkpoint_Io::Objects() {
  static_assert(model_detail::Is_Model_Type<T>, "quarnel::Checkpoint_Io::Objects<T>: T is not a model type");
  if (_out)
    privSave<T>();
  else
    privLoad<T>();
}

template <class T, class Load>
void Checkpoint_Io::Objects(Load&& load) {
  static_assert(
      std::is_base_of_v<Identified_Execution_Object, T> || std::is_base_of_v<Identified_Event_Object, T>,
      "quarnel::Checkpoint_Io::Objects<T>(load): T is not of an identified component type");
  if (_out)
    privSave<T>();
  else
    privLoad<T, std::remove_reference_t<Load>>(&load);
}

template <class T>
void Checkpoint_Io::privSave() {
  constexpr bool identified =
      std::is_base_of_v<Identified_Execution_Object, T> || std::is_base_of_v<Identified_Event_Object, T>;
  // A parked event keeps its answer as its revision: it is saved due then.
  auto next_of = [](T& object) { return Load_Revision(object._next_revision); };
  const size_t count = size_t(Live_Count<T>());
  const std::string name = T::component_manager->_display_name;
  if constexpr (identified) {
    // Identity order needs no field: one walk puts the objects in order, and the objects
    // themselves then write their fields, each cell asked for some objects ahead.
    auto& order = _scratch->identified;
    order.Start(count, {});
    For_Each_Live<T>([&](T& object) { order.Push({object._identity, next_of(object)._revision, &object}); });
    order.Finish();
    (*_out)(name, uint64_t(order.size()));
    order.For_Each(
        [&](const checkpoint_detail::Identified_Entry& e) {
          (*_out)(e.identity, e.revision, *static_cast<T*>(e.object));
        },
        [](const checkpoint_detail::Identified_Entry& e) { __builtin_prefetch(e.object); });
  } else {
    // Without an identity, objects go in the order of (next revision, bytes): one walk
    // serialises each object's fields into one buffer, from which they are written in order.
    checkpoint_detail::Byte_Buffer& fields = _scratch->fields;
    fields.clear();
    // Room for the usual record, at most what the objects take already: growing would copy it.
    const size_t room = count * sizeof(T);
    if (fields.capacity() < room) fields.reserve(room + room / 4);
    auto& order = _scratch->records;
    order.Start(count, {&fields});
    {
      Checkpoint_Output_Archive archive(fields);
      For_Each_Live<T>([&](T& object) {
        const Revision next = next_of(object);
        const size_t offset = fields.size();
        archive(object);
        const size_t size = fields.size() - offset;
        const char* record = fields.data() + offset;
        order.Push({next._revision, checkpoint_detail::Record_Key(record, size), offset, size});
      });
    }
    order.Finish();
    (*_out)(name, uint64_t(order.size()));
    // Ordered records lie anywhere in the buffer: each is asked for some records ahead.
    order.For_Each(
        [&](const checkpoint_detail::Record_Entry& e) {
          (*_out)(e.revision);
          _out->saveBinary(fields.data() + e.offset, std::streamsize(e.size));
        },
        [&](const checkpoint_detail::Record_Entry& e) { __builtin_prefetch(fields.data() + e.offset); });
  }
}

template <class T, class Load>
void Checkpoint_Io::privLoad(Load* load) {
  constexpr bool own_handler = !std::is_same_v<Load, std::nullptr_t>;
  static_assert(
      own_handler || std::is_default_constructible_v<T>,
      "quarnel::Checkpoint_Io::Objects<T>: a checkpointed type needs a default constructor (it may be "
      "private, with friend class quarnel::Checkpoint_Io)");
  constexpr bool identified =
      std::is_base_of_v<Identified_Execution_Object, T> || std::is_base_of_v<Identified_Event_Object, T>;
  privCheck_Name(T::component_manager->_display_name);
  const uint64_t count = privRead_Count(identified ? 16 : 8);
  std::vector<std::pair<uint64_t, void*>> loaded;
  if constexpr (identified) loaded.reserve(size_t(count));
  uint64_t previous = 0;
  try {
    for (uint64_t i = 0; i < count; ++i) {
      T* object;
      if constexpr (identified) {
        uint64_t identity = 0;
        (*_in)(identity);
        if (identity == __identity_none || (i > 0 && identity <= previous))
          Refuse("the objects of " + T::component_manager->_display_name + " are not in identity order");
        previous = identity;
        const Revision next = privRead_Revision();
        if constexpr (own_handler) {
          object = (*load)(identity, next);
          loaded.emplace_back(identity, object);
          (*_in)(*object);
        } else {
          object = Create_Identified<T>(identity);
          loaded.emplace_back(identity, object);
          (*_in)(*object);
          if (next != __revision_omega) object->Schedule_At(next);
        }
      } else {
        const Revision next = privRead_Revision();
        object = Create<T>();
        (*_in)(*object);
        if (next != __revision_omega) object->Schedule_At(next);
      }
    }
  } catch (const cereal::Exception& e) {
    Refuse("an object of " + T::component_manager->_display_name + " does not read back: " + e.what());
  }
  if constexpr (identified) _loaded.emplace_back(T::component_id, std::move(loaded));
}

template <class Contents>
void Checkpoint_Writer::Write(const Checkpoint_Header& header, const Measures* measures,
                              Contents&& contents) {
  checkpoint_detail::Byte_Out& body = privBegin();
  try {
    Checkpoint_Output_Archive out(body);
    checkpoint_detail::Save_Run(out, header, measures);
    Checkpoint_Io io(&out, &_scratch, nullptr, nullptr, header.iteration);
    contents(io);
  } catch (...) {
    privAbandon();
    throw;
  }
  privEnd();
}

template <class Contents>
void Checkpoint_Reader::Restore(Measures* measures, Contents&& contents) {
  checkpoint_detail::Byte_Source source(_bytes.data() + _body_offset, _bytes.size() - _body_offset);
  std::istream stream(&source);
  cereal::BinaryInputArchive in(stream);
  privRestore_Run(measures, in, source);
  Checkpoint_Io io(nullptr, nullptr, &in, &source, _header.iteration);
  contents(io);
  io.privFinish();
  if (source.remaining() != 0) io.Refuse("bytes are left over after the model's state");
}

}  // namespace quarnel

// cereal's traits pair an output archive with the input archive that reads it.
namespace cereal::traits::detail {
template <>
struct get_input_from_output<quarnel::Checkpoint_Output_Archive> {
  using type = cereal::BinaryInputArchive;
};
}  // namespace cereal::traits::detail
