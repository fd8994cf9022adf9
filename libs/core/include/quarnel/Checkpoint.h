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
//     clock: iterations finished; records: the last step written, rows, SQLite run (0: none)
//     the run fingerprint's digest; the measures' running state
//     per Objects<T> in order: T's name, count, then every live T in a canonical order
//       (identified types by identity; others by their saved bytes), each as [identity]
//       next revision (__revision_omega: not scheduled) and fields
//     per State in order: the values.
// The file therefore does not depend on the workers, the block sizes or the order in which
// objects were made or stepped: two runs in the same state write the same file.
//
// An event waiting in its block's heap is saved with its due revision and goes back into a
// heap when loaded; a parked event (out of every heap) is saved unscheduled.
//
// Writing: to "<file>.tmp" in the same folder, fsync, rename over <file>, fsync the folder: a
// process killed during the write leaves the previous checkpoint whole. The body streams into
// the temporary file as it is made (its length and CRC-32 kept on the way, the prefix written
// last), and an identified type's objects are written straight from their cells in identity
// order: a checkpoint needs no copy of the state in memory.
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
// Thread safety: controlling thread only. Saving: while no worker steps (the iteration hook,
// or between runs). Loading: during set-up, after the Simulation is made and its measures
// attached, before Run.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
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

constexpr uint32_t __checkpoint_format = 1;

class Checkpoint_Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Where a run's records stand: the last step written, the rows written, its SQLite run.
struct Records_Position {
  uint64_t step = 0;
  uint64_t rows = 0;
  int64_t run = 0;
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

// A growing byte buffer as a stream buffer: the save's body, and each type's records.
class Byte_Sink : public std::streambuf {
 public:
  std::string bytes;

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    bytes.append(s, size_t(n));
    return n;
  }
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) bytes.push_back(char(c));
    return c;
  }
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

}  // namespace checkpoint_detail

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
  template <class Contents>
  friend void Write_Checkpoint(const std::filesystem::path&, const Checkpoint_Header&, const Measures*,
                               Contents&&);
  friend class Checkpoint_Reader;
  Checkpoint_Io(cereal::BinaryOutputArchive* out, cereal::BinaryInputArchive* in,
                checkpoint_detail::Byte_Source* source, uint32_t iteration)
      : _out(out), _in(in), _source(source), _iteration(iteration) {
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

  cereal::BinaryOutputArchive* _out;
  cereal::BinaryInputArchive* _in;
  checkpoint_detail::Byte_Source* _source;
  uint32_t _iteration;
  // Loading: per component id, the objects of an identified type in identity order.
  std::vector<std::pair<uint64_t, std::vector<std::pair<uint64_t, void*>>>> _loaded;
  std::vector<checkpoint_detail::Pending_Reference> _references;
};

// Writes the checkpoint of the run that turns (or has just stopped) to `path`: `header`,
// the clock (header.iteration), the run fingerprint, `measures` (null: none) and what
// `contents(io)` describes. A Checkpoint_Error when the file cannot be written (the previous
// file, if any, is then left as it was). REQUIRES: controlling thread, no worker stepping.
template <class Contents>
void Write_Checkpoint(const std::filesystem::path& path, const Checkpoint_Header& header,
                      const Measures* measures, Contents&& contents);

// A checkpoint read from a file and checked (length, CRC-32, format), its header parsed;
// Restore puts its state into the run that is set up.
class Checkpoint_Reader {
 public:
  // Reads and checks `path`; a one-line Checkpoint_Error when it is missing, empty, cut short,
  // changed, of a newer format, or its header does not read.
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
// A checkpoint file being written: "<path>.tmp" is made at once and the body streams into it
// through a buffer, its length and CRC-32 kept; Finish writes the prefix before the body,
// fsyncs, renames over <path> and fsyncs the folder. Destroyed unfinished (an exception on the
// way), it removes the temporary file, and the file at <path> stays as it was. A write that
// fails is remembered (error()) and reported by the stream as a short write.
class File_Sink : public std::streambuf {
 public:
  // A Checkpoint_Error when the temporary file cannot be made.
  explicit File_Sink(const std::filesystem::path& path);
  ~File_Sink() override;
  File_Sink(const File_Sink&) = delete;
  File_Sink& operator=(const File_Sink&) = delete;
  // A Checkpoint_Error when a write, the sync or the rename fails.
  void Finish();
  // The first failure's message ("" while none).
  const std::string& error() const { return _error; }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int_type overflow(int_type c) override;

 private:
  bool privWrite(const char* data, size_t n);  // to the file, counted and checksummed
  bool privFlush();                            // the buffer's bytes, then an empty buffer
  std::filesystem::path _path;
  std::string _temporary;
  int _fd = -1;
  std::vector<char> _buffer;
  uint64_t _length = 0;  // body bytes written to the file
  uint32_t _crc = 0;
  uint64_t _unsynced = 0;  // written since the last start of a write-back
  std::string _error;
  bool _finished = false;
};
// The header, clock, records and fingerprint as the body begins.
void Save_Run(cereal::BinaryOutputArchive& out, const Checkpoint_Header& header, const Measures* measures);
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
  auto next_of = [](T& object) {
    Revision next = Load_Revision(object._next_revision);
    if constexpr (model_detail::Is_Event<T>) {
      if (!object.In_Heap()) next = __revision_omega;
    }
    return next;
  };
  if constexpr (identified) {
    // Identity order needs no field: the objects themselves, sorted, write their fields.
    struct Object_Entry {
      uint64_t identity;
      uint64_t revision;
      T* object;
    };
    std::vector<Object_Entry> objects;
    objects.reserve(size_t(Live_Count<T>()));
    For_Each_Live<T>([&](T& object) {
      objects.push_back({object._identity, next_of(object)._revision, &object});
    });
    auto by_identity = [](const Object_Entry& a, const Object_Entry& b) { return a.identity < b.identity; };
    // Objects made in identity order and never freed are already in order: no sort then.
    if (!std::is_sorted(objects.begin(), objects.end(), by_identity))
      std::sort(objects.begin(), objects.end(), by_identity);
    (*_out)(std::string(T::component_manager->_display_name), uint64_t(objects.size()));
    for (const Object_Entry& e : objects) (*_out)(e.identity, e.revision, *e.object);
  } else {
    // Each object's fields into one buffer, then the objects in the order of their bytes.
    checkpoint_detail::Byte_Sink fields;
    // key: the first 8 bytes of the record, big-endian and padded with zeros, which orders
    // records as their bytes do (ties compare the bytes).
    struct Entry {
      uint64_t key;
      uint64_t revision;
      size_t offset, size;
    };
    std::vector<Entry> entries;
    entries.reserve(size_t(Live_Count<T>()));
    // Fields of about an object's size each: the buffer seldom grows (and copies) while it fills.
    fields.bytes.reserve(entries.capacity() * sizeof(T));
    {
      std::ostream stream(&fields);
      cereal::BinaryOutputArchive archive(stream);
      For_Each_Live<T>([&](T& object) {
        const Revision next = next_of(object);
        const size_t offset = fields.bytes.size();
        archive(object);
        const size_t size = fields.bytes.size() - offset;
        uint64_t key = 0;
        for (size_t k = 0; k < std::min<size_t>(8, size); ++k)
          key |= uint64_t(uint8_t(fields.bytes[offset + k])) << (56 - 8 * k);
        entries.push_back(Entry{key, next._revision, offset, size});
      });
    }
    const std::string& bytes = fields.bytes;
    auto record = [&](const Entry& e) { return std::string_view(bytes.data() + e.offset, e.size); };
    auto before = [&](const Entry& a, const Entry& b) {
      if (a.revision != b.revision) return a.revision < b.revision;
      if (a.key != b.key) return a.key < b.key;
      return record(a) < record(b);
    };
    if (!std::is_sorted(entries.begin(), entries.end(), before))
      std::sort(entries.begin(), entries.end(), before);
    (*_out)(std::string(T::component_manager->_display_name), uint64_t(entries.size()));
    for (const Entry& e : entries) {
      (*_out)(e.revision);
      (*_out)(cereal::binary_data(bytes.data() + e.offset, e.size));
    }
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
void Write_Checkpoint(const std::filesystem::path& path, const Checkpoint_Header& header,
                      const Measures* measures, Contents&& contents) {
  checkpoint_detail::File_Sink file(path);
  try {
    std::ostream stream(&file);
    cereal::BinaryOutputArchive out(stream);
    checkpoint_detail::Save_Run(out, header, measures);
    Checkpoint_Io io(&out, nullptr, nullptr, header.iteration);
    contents(io);
  } catch (const std::exception&) {
    // A failed write shows as a short one to cereal: the sink knows why.
    if (!file.error().empty()) throw Checkpoint_Error(file.error());
    throw;
  }
  file.Finish();
}

template <class Contents>
void Checkpoint_Reader::Restore(Measures* measures, Contents&& contents) {
  checkpoint_detail::Byte_Source source(_bytes.data() + _body_offset, _bytes.size() - _body_offset);
  std::istream stream(&source);
  cereal::BinaryInputArchive in(stream);
  privRestore_Run(measures, in, source);
  Checkpoint_Io io(nullptr, &in, &source, _header.iteration);
  contents(io);
  io.privFinish();
  if (source.remaining() != 0) io.Refuse("bytes are left over after the model's state");
}

}  // namespace quarnel
