#include <quarnel/Checkpoint.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <thread>

#include <quarnel/World.h>

namespace quarnel {
namespace {

constexpr char kMagic[8] = {'Q', 'R', 'N', 'L', 'C', 'K', 'P', 'T'};
constexpr size_t kPrefix = 8 + 4 + 4 + 8 + 4;  // magic, format, reserved, body length, CRC-32

thread_local Checkpoint_Io* t_current = nullptr;

// `crc` continued over `n` bytes at `data`.
uint32_t Crc32_Continue(uint32_t crc_so_far, const char* data, size_t n) {
  uLong crc = crc_so_far;
  while (n > 0) {  // zlib takes lengths of at most 2^32 - 1
    const uInt chunk = uInt(std::min<size_t>(n, 1u << 30));
    crc = crc32(crc, reinterpret_cast<const Bytef*>(data), chunk);
    data += chunk;
    n -= chunk;
  }
  return uint32_t(crc);
}

uint32_t Crc32(const char* data, size_t n) {
  return Crc32_Continue(uint32_t(crc32(0L, Z_NULL, 0)), data, n);
}

template <class U>
void Put(std::string& out, U value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof(U));
}
template <class U>
U Get(const std::string& in, size_t offset) {
  U value;
  std::memcpy(&value, in.data() + offset, sizeof(U));
  return value;
}

[[noreturn]] void Fail(const std::string& message) {
  throw Checkpoint_Error(message);
}

std::string Errno_Text() {
  return std::strerror(errno);
}

// Writes all of `data` to `fd`; false on a failure (errno says which).
bool Write_All(int fd, const char* data, size_t n) {
  while (n > 0) {
    const ssize_t written = ::write(fd, data, std::min<size_t>(n, 1 << 30));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    n -= size_t(written);
  }
  return true;
}

struct File_Closer {
  int fd;
  ~File_Closer() { ::close(fd); }
};

// Reads `n` bytes from `fd` into `data`; false when it ends before or fails (errno says which).
bool Read_All(int fd, char* data, size_t n) {
  while (n > 0) {
    const ssize_t got = ::read(fd, data, std::min<size_t>(n, 1 << 30));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    n -= size_t(got);
  }
  return true;
}

// The body length that `prefix` (the file's first bytes, up to kPrefix) gives a file of
// `file_size` bytes, or a Checkpoint_Error (`refused` begins it): empty, not a checkpoint, of
// another format, or a length that is not the file's.
uint64_t Body_Length(const std::string& prefix, uint64_t file_size, const std::string& refused) {
  if (file_size == 0) Fail(refused + "is empty");
  if (prefix.size() < kPrefix || std::memcmp(prefix.data(), kMagic, sizeof(kMagic)) != 0)
    Fail(refused + "is not a Quarnel checkpoint");
  const uint32_t format = Get<uint32_t>(prefix, 8);
  if (format > __checkpoint_format) {
    Fail(refused + "has format " + std::to_string(format) + ", newer than this program's " +
         std::to_string(__checkpoint_format));
  }
  // Format 1 held no CSV digest, without which a resume could not know its records.
  if (format < __checkpoint_format) {
    Fail(refused + "has format " + std::to_string(format) + ", older than this program's " +
         std::to_string(__checkpoint_format) + ", which it no longer reads");
  }
  const uint64_t length = Get<uint64_t>(prefix, 16);
  if (length != file_size - kPrefix) {
    Fail(refused + "is cut short or extended: its body has " + std::to_string(file_size - kPrefix) +
         " bytes where it says " + std::to_string(length));
  }
  return length;
}

// The memory and swap of the machine, in bytes: a body beyond it cannot be loaded.
uint64_t Memory_Bytes() {
  struct sysinfo info;
  if (::sysinfo(&info) != 0) return UINT64_MAX;
  return (uint64_t(info.totalram) + uint64_t(info.totalswap)) * uint64_t(info.mem_unit);
}

// A string of the header, refused before it is allocated when it claims more than is left.
std::string Read_String(cereal::BinaryInputArchive& in, checkpoint_detail::Byte_Source& source) {
  uint64_t size = 0;
  in(size);
  if (size > source.remaining()) throw cereal::Exception("a string longer than the file");
  std::string text(size_t(size), '\0');
  in(cereal::binary_data(text.data(), size_t(size)));
  return text;
}

void Write_String(Checkpoint_Output_Archive& out, const std::string& text) {
  out(uint64_t(text.size()), cereal::binary_data(text.data(), text.size()));
}

std::vector<uint8_t> Read_Bytes(cereal::BinaryInputArchive& in, checkpoint_detail::Byte_Source& source) {
  uint64_t size = 0;
  in(size);
  if (size > source.remaining()) throw cereal::Exception("a block of bytes longer than the file");
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  in(cereal::binary_data(bytes.data(), size_t(size)));
  return bytes;
}

}  // namespace

namespace checkpoint_detail {

void Byte_Buffer::reserve(size_t n) {
  const size_t used = size();
  if (_bytes != nullptr && n <= size_t(_end - _bytes.get())) return;
  std::unique_ptr<char[]> bytes(new char[n]);
  if (used > 0) std::memcpy(bytes.get(), _bytes.get(), used);
  _bytes = std::move(bytes);
  _at = _bytes.get() + used;
  _end = _bytes.get() + n;
}

void Byte_Buffer::Spill(const char* data, size_t n) {
  const size_t capacity = _bytes == nullptr ? 0 : size_t(_end - _bytes.get());
  reserve(std::max(std::max<size_t>(capacity * 2, size_t(1) << 16), size() + n));
  std::memcpy(_at, data, n);
  _at += n;
}

namespace {

// The bits of (high, low) from `shift` up, under `mask`.
template <class Entry, class High, class Low>
uint64_t Window(const Entry& e, int shift, uint64_t mask, High high, Low low) {
  uint64_t window;
  if (shift >= 64)
    window = high(e) >> (shift - 64);
  else if (shift == 0)
    window = low(e);
  else
    window = (low(e) >> shift) | (high(e) << (64 - shift));
  return window & mask;
}

template <class Entry, class High, class Low, class Less>
void Bucket_Sort(Entry* first, Entry* last, Entry* scratch, High high, Low low, Less less);

// Orders [first, last) on the 24 bits of (high, low) at `shift` by two stable passes of 12 bits,
// the less significant first, then orders each run alike in those bits by Bucket_Sort. Two
// passes of 4096 buckets write their entries within the caches' reach, where one pass of 2^16
// buckets misses at almost every entry.
template <class Entry, class High, class Low, class Less>
void Window_Sort(Entry* first, Entry* last, Entry* scratch, int shift, High high, Low low, Less less) {
  constexpr int kDigit = 12;
  constexpr size_t kBuckets = size_t(1) << kDigit;
  const size_t n = size_t(last - first);
  auto window = [&](const Entry& e) {
    return Window(e, shift, (uint64_t(1) << (2 * kDigit)) - 1, high, low);
  };
  auto digit = [&](const Entry& e, int pass) {
    return size_t(window(e) >> (kDigit * pass)) & (kBuckets - 1);
  };
  std::vector<size_t> at(2 * kBuckets, 0);  // per pass: counts, then where each bucket's next entry goes
  for (const Entry* e = first; e != last; ++e) {
    ++at[digit(*e, 0)];
    ++at[kBuckets + digit(*e, 1)];
  }
  Entry* from = first;
  Entry* to = scratch;
  for (int pass = 0; pass < 2; ++pass) {
    size_t* next = at.data() + pass * kBuckets;
    if (next[digit(*from, pass)] == n) continue;  // one digit for all: nothing moves
    size_t start = 0;
    for (size_t d = 0; d < kBuckets; ++d) start += std::exchange(next[d], start);
    for (const Entry* e = from; e != from + n; ++e) to[next[digit(*e, pass)]++] = *e;
    std::swap(from, to);
  }
  if (from != first) std::copy(from, from + n, first);
  for (size_t i = 0; i < n;) {
    const uint64_t w = window(first[i]);
    size_t j = i + 1;
    while (j < n && window(first[j]) == w) ++j;
    if (j - i > 1) Bucket_Sort(first + i, first + j, scratch, high, low, less);
    i = j;
  }
}

// Orders [first, last) by `less`, which orders entries by (high(e), low(e)) first: each level
// looks at the most significant bits of (high, low) that differ between the entries (the bits
// above are the same in all). A large range is ordered on 24 such bits (Window_Sort); a smaller
// one is put in buckets by 8 to 13 of them (about a bucket for every 8 entries), each bucket then
// ordered the same way, or by `less` once it is small. Any spread of keys is ordered right; each
// level looks at lower bits than the one before. `scratch` has room for last - first entries.
template <class Entry, class High, class Low, class Less>
void Bucket_Sort(Entry* first, Entry* last, Entry* scratch, High high, Low low, Less less) {
  constexpr size_t kSmall = 2048;
  constexpr size_t kLarge = size_t(1) << 16;
  const size_t n = size_t(last - first);
  if (n <= kSmall) {
    std::sort(first, last, less);
    return;
  }
  uint64_t differ_high = 0, differ_low = 0;
  const uint64_t high_0 = high(*first), low_0 = low(*first);
  for (const Entry* e = first; e != last; ++e) {
    differ_high |= high(*e) ^ high_0;
    differ_low |= low(*e) ^ low_0;
  }
  int top;  // the most significant bit of (high, low) that differs, 0..127
  if (differ_high != 0)
    top = 127 - std::countl_zero(differ_high);
  else if (differ_low != 0)
    top = 63 - std::countl_zero(differ_low);
  else {  // (high, low) alike: `less` alone orders them
    std::sort(first, last, less);
    return;
  }
  if (n >= kLarge) {
    Window_Sort(first, last, scratch, std::max(top - 23, 0), high, low, less);
    return;
  }
  const int bits = std::max(int(std::bit_width(n)) - 3, 8);  // at most 13 below kLarge
  const int shift = std::max(top - (bits - 1), 0);
  const uint64_t mask = (uint64_t(1) << bits) - 1;
  auto bucket = [&](const Entry& e) { return size_t(Window(e, shift, mask, high, low)); };
  std::vector<size_t> starts(size_t(mask) + 2, 0);
  for (const Entry* e = first; e != last; ++e) ++starts[bucket(*e) + 1];
  for (size_t b = 1; b < starts.size(); ++b) starts[b] += starts[b - 1];
  std::vector<size_t> at(starts.begin(), starts.end() - 1);
  for (const Entry* e = first; e != last; ++e) scratch[at[bucket(*e)]++] = *e;
  std::copy(scratch, scratch + n, first);
  for (size_t b = 0; b + 1 < starts.size(); ++b) {
    if (starts[b + 1] - starts[b] > 1)
      Bucket_Sort(first + starts[b], first + starts[b + 1], scratch, high, low, less);
  }
}

}  // namespace

template <class Entry, class Less>
template <class High, class Low>
void Walk_Order<Entry, Less>::privFinish(High high, Low low) {
  if (_has_pending) privDecide(true);
  _has_pending = false;
  const bool whole = _aside.size() > size() / 64;  // too many out of place: all are ordered together
  if (whole) {
    _kept.insert(_kept.end(), _aside.begin(), _aside.end());
    _aside.clear();
  }
  std::vector<Entry>& ordered = whole ? _kept : _aside;
  if (ordered.size() < 2) return;
  if (_scratch.size() < ordered.size()) {
    Reserve_Room(_scratch, ordered.size());
    _scratch.resize(ordered.size());
  }
  Bucket_Sort(ordered.data(), ordered.data() + ordered.size(), _scratch.data(), high, low, _less);
}

template <>
void Walk_Order<Identified_Entry, Identity_Order>::Finish() {
  privFinish([](const Identified_Entry&) { return uint64_t(0); },
             [](const Identified_Entry& e) { return e.identity; });
}

template <>
void Walk_Order<Record_Entry, Record_Order>::Finish() {
  privFinish([](const Record_Entry& e) { return e.revision; }, [](const Record_Entry& e) { return e.key; });
}

namespace {
constexpr size_t kChunk = size_t(1) << 20;
// At most this many chunks at once: a larger body waits for the file to take some.
constexpr size_t kChunks = 64;
// Past this many bytes written, their write-back to the disk is started while the body goes
// on: the final fsync then waits for the rest only.
constexpr uint64_t kWrite_Back = uint64_t(64) << 20;
}  // namespace

// One checkpoint's body on its way to the file. The controlling thread fills chunks (Put) and
// hands each full one over; the pipe's thread computes the CRC-32 and writes it, then gives
// the chunk back. Close hands the last one over; the thread then writes the prefix, fsyncs,
// renames and fsyncs the folder. Abandon makes it remove the temporary file instead.
//
// Shared between the two threads, under _mutex: _full, _free, _allocated, _closed,
// _abandoned. The thread alone uses _fd, _length, _crc and _unsynced while it runs, and sets
// _error; the controlling thread reads _error after joining it.
class Body_Pipe final : public Byte_Out {
 public:
  explicit Body_Pipe(std::filesystem::path path)
      : _path(std::move(path)), _temporary(_path.string() + ".tmp") {}
  virtual ~Body_Pipe() { Join(); }

  // Makes the temporary file (a Checkpoint_Error if it cannot) and starts the thread.
  // REQUIRES: no thread running (Join).
  void Start() {
    _fd = ::open(_temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (_fd < 0) Fail("cannot write the checkpoint " + _temporary + ": " + Errno_Text());
    _error.clear();
    _length = 0;
    _unsynced = 0;
    _crc = uint32_t(crc32(0L, Z_NULL, 0));
    _closed = _abandoned = false;
    // The prefix's place; the thread fills it in once the body's length and CRC-32 are known.
    const std::string zeros(kPrefix, '\0');
    if (!Write_All(_fd, zeros.data(), zeros.size()))
      _error = "cannot write the checkpoint " + _temporary + ": " + Errno_Text();
    privTake_Chunk();
    _thread = std::thread([this] { privRun(); });
  }
  // The body is whole: the thread finishes the file.
  void Close() {
    privHand_Over();
    std::lock_guard lock(_mutex);
    _closed = true;
    _changed.notify_all();
  }
  // The body is given up: the thread removes the temporary file.
  void Abandon() {
    {
      std::lock_guard lock(_mutex);
      _abandoned = true;
      _changed.notify_all();
    }
    Join();
    // The chunk being filled goes back to the pool.
    if (_current.bytes != nullptr) {
      std::lock_guard lock(_mutex);
      _free.push_back(std::move(_current));
    }
    _at = _end = nullptr;
  }
  // Waits for the thread; its failure's message ("" if none, or no thread ran).
  std::string Join() {
    if (_thread.joinable()) _thread.join();
    return std::exchange(_error, std::string());
  }

 private:
  struct Chunk {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
  };

  void Spill(const char* data, size_t n) override {
    while (n > 0) {
      if (_at == _end) {
        privHand_Over();
        privTake_Chunk();
      }
      const size_t part = std::min(n, size_t(_end - _at));
      std::memcpy(_at, data, part);
      _at += part;
      data += part;
      n -= part;
    }
  }
  // The current chunk, as filled, to the thread.
  void privHand_Over() {
    _current.size = size_t(_at - _current.bytes.get());
    _at = _end = nullptr;
    std::lock_guard lock(_mutex);
    _full.push_back(std::move(_current));
    _changed.notify_all();
  }
  // A chunk to fill: a free one, a new one while the pool has room, or the first one the
  // thread gives back.
  void privTake_Chunk() {
    std::unique_lock lock(_mutex);
    if (_free.empty() && _allocated < kChunks) {
      ++_allocated;
      lock.unlock();
      _current.bytes.reset(new char[kChunk]);
    } else {
      _changed.wait(lock, [&] { return !_free.empty(); });
      _current = std::move(_free.back());
      _free.pop_back();
    }
    _current.size = 0;
    _at = _current.bytes.get();
    _end = _at + kChunk;
  }

  void privRun() {
    for (;;) {
      Chunk chunk;
      {
        std::unique_lock lock(_mutex);
        _changed.wait(lock, [&] { return _abandoned || _closed || !_full.empty(); });
        if (_abandoned) break;
        if (_full.empty()) break;  // closed, and every chunk written
        chunk = std::move(_full.front());
        _full.pop_front();
      }
      if (_error.empty()) privWrite(chunk.bytes.get(), chunk.size);
      std::lock_guard lock(_mutex);
      _free.push_back(std::move(chunk));
      _changed.notify_all();
    }
    bool abandoned;
    {
      std::lock_guard lock(_mutex);
      abandoned = _abandoned;
      // Chunks not written go back to the pool for the next checkpoint.
      for (Chunk& chunk : _full) _free.push_back(std::move(chunk));
      _full.clear();
    }
    if (!abandoned && _error.empty()) privFinish();
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
    if (abandoned || !_error.empty()) ::unlink(_temporary.c_str());
  }

  void privWrite(const char* data, size_t n) {
    if (!Write_All(_fd, data, n)) {
      _error = "cannot write the checkpoint " + _temporary + ": " + Errno_Text();
      return;
    }
    _crc = Crc32_Continue(_crc, data, n);
    _length += n;
    _unsynced += n;
#ifdef __linux__
    if (_unsynced >= kWrite_Back) {
      ::sync_file_range(_fd, off_t(kPrefix + _length - _unsynced), off_t(_unsynced), SYNC_FILE_RANGE_WRITE);
      _unsynced = 0;
    }
#endif
  }

  // The prefix, the sync and the rename; _error set on a failure (the file then unlinked).
  void privFinish() {
    const std::string cannot = "cannot write the checkpoint " + _temporary + ": ";
    std::string prefix(kMagic, sizeof(kMagic));
    quarnel::Put<uint32_t>(prefix, __checkpoint_format);
    quarnel::Put<uint32_t>(prefix, 0);
    quarnel::Put<uint64_t>(prefix, _length);
    quarnel::Put<uint32_t>(prefix, _crc);
    size_t at = 0;
    while (at < prefix.size()) {
      const ssize_t written = ::pwrite(_fd, prefix.data() + at, prefix.size() - at, off_t(at));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        _error = cannot + Errno_Text();
        return;
      }
      at += size_t(written);
    }
    if (::fsync(_fd) != 0) {
      _error = cannot + Errno_Text();
      return;
    }
    const int fd = std::exchange(_fd, -1);
    if (::close(fd) != 0) {
      _error = cannot + Errno_Text();
      return;
    }
    if (::rename(_temporary.c_str(), _path.c_str()) != 0) {
      _error = "cannot put the checkpoint in place as " + _path.string() + ": " + Errno_Text();
      return;
    }
    // The rename itself survives a crash of the machine once the folder is synced.
    const std::filesystem::path folder = _path.has_parent_path() ? _path.parent_path() : ".";
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
      ::fsync(dir);
      ::close(dir);
    }
  }

  const std::filesystem::path _path;
  const std::string _temporary;
  std::thread _thread;
  std::mutex _mutex;
  std::condition_variable _changed;
  std::deque<Chunk> _full;
  std::vector<Chunk> _free;
  size_t _allocated = 0;
  bool _closed = false;
  bool _abandoned = false;
  Chunk _current;  // the controlling thread's, being filled
  int _fd = -1;
  uint64_t _length = 0;  // body bytes written to the file
  uint32_t _crc = 0;
  uint64_t _unsynced = 0;  // written since the last start of a write-back
  std::string _error;
};

void Save_Run(Checkpoint_Output_Archive& out, const Checkpoint_Header& header, const Measures* measures) {
  Write_String(out, header.model);
  Write_String(out, header.model_version);
  out(uint64_t(header.parameters.size()));
  for (const auto& [name, value] : header.parameters) {
    Write_String(out, name);
    Write_String(out, value);
  }
  out(header.seed, header.iteration, header.records.step, header.records.rows, header.records.run,
      header.records.csv_bytes, header.records.csv_digest);
  const Run_Digest digest = Run_Fingerprint::Instance().Result();
  out(digest.calls, digest.sum);
  out(uint8_t(measures != nullptr && measures->started()));
  if (measures == nullptr || !measures->started()) return;
  const Measures::Saved_State state = measures->Save_State();
  out(uint64_t(state.totals.size()), cereal::binary_data(state.totals.data(), state.totals.size()));
  out(uint64_t(state.pending.size()), cereal::binary_data(state.pending.data(), state.pending.size()));
  out(uint64_t(state.values.size()));
  for (const Measure_Value& v : state.values) out(uint8_t(v.kind), v.integer, v.real);
}

}  // namespace checkpoint_detail

Checkpoint_Writer::Checkpoint_Writer(std::filesystem::path path) : _path(std::move(path)) {}

Checkpoint_Writer::~Checkpoint_Writer() {
  if (_pipe == nullptr) return;
  // No caller is left to throw to: the failure goes to standard error rather than nowhere.
  const std::string error = _pipe->Join();
  if (!error.empty()) std::fprintf(stderr, "%s\n", error.c_str());
}

checkpoint_detail::Byte_Out& Checkpoint_Writer::privBegin() {
  Wait();
  if (_pipe == nullptr) _pipe = std::make_unique<checkpoint_detail::Body_Pipe>(_path);
  _pipe->Start();
  return *_pipe;
}

void Checkpoint_Writer::privEnd() {
  _pipe->Close();
}

void Checkpoint_Writer::privAbandon() noexcept {
  _pipe->Abandon();
}

void Checkpoint_Writer::Wait() {
  if (_pipe == nullptr) return;
  const std::string error = _pipe->Join();
  if (!error.empty()) Fail(error);
}

void Checkpoint_Io::privEnter() {
  t_current = this;
}

Checkpoint_Io::~Checkpoint_Io() {
  if (t_current == this) t_current = nullptr;
}

Checkpoint_Io* Checkpoint_Io::current() {
  return t_current;
}

void Checkpoint_Io::Refuse(const std::string& what) const {
  Fail("the checkpoint does not fit this model: " + what);
}

void Checkpoint_Io::privAdd_Reference(void** slot, uint64_t identity, uint64_t component) {
  _references.push_back({slot, identity, component});
}

void Checkpoint_Io::privCheck_Name(const std::string& name) {
  std::string saved;
  try {
    saved = Read_String(*_in, *_source);
  } catch (const cereal::Exception& e) {
    Refuse(std::string("the objects of ") + name + " do not read back: " + e.what());
  }
  if (saved != name) Refuse("it holds objects of " + saved + " where this model has " + name);
}

uint64_t Checkpoint_Io::privRead_Count(size_t least_bytes_each) {
  uint64_t count = 0;
  try {
    (*_in)(count);
  } catch (const cereal::Exception& e) {
    Refuse(std::string("a count of objects does not read back: ") + e.what());
  }
  if (count > _source->remaining() / least_bytes_each) Refuse("it counts more objects than the file holds");
  return count;
}

Revision Checkpoint_Io::privRead_Revision() {
  uint64_t key = 0;
  (*_in)(key);
  const Revision next = Revision::From_Key(key);
  if (next == __revision_omega) return next;
  if (next == __revision_free || next < Revision(_iteration, 0))
    Refuse("an object is due at " + to_string(next) + ", before the saved clock");
  return next;
}

void Checkpoint_Io::privFinish() {
  for (const checkpoint_detail::Pending_Reference& r : _references) {
    const auto type =
        std::find_if(_loaded.begin(), _loaded.end(), [&](auto& t) { return t.first == r.component; });
    void* found = nullptr;
    if (type != _loaded.end()) {
      const auto& objects = type->second;
      const auto at =
          std::lower_bound(objects.begin(), objects.end(), r.identity,
                           [](const std::pair<uint64_t, void*>& o, uint64_t id) { return o.first < id; });
      if (at != objects.end() && at->first == r.identity) found = at->second;
    }
    if (found == nullptr)
      Refuse("a field refers to identity " + std::to_string(r.identity) + ", which no object has");
    *r.slot = found;
  }
  _references.clear();
}

void Check_Checkpoint_Path(const std::filesystem::path& path) {
  const std::string cannot = "cannot write the checkpoint " + path.string() + ": ";
  struct stat st;
  if (path.empty() || path.string().back() == '/') Fail(cannot + "it names a folder");
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) Fail(cannot + "it is a folder");
    if (!S_ISREG(st.st_mode)) Fail(cannot + "it is not a regular file");
  }
  const std::string temporary = path.string() + ".tmp";
  if (::lstat(temporary.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    Fail("cannot write the checkpoint " + temporary + ": it is not a regular file");
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
  if (::stat(folder.c_str(), &st) != 0) Fail(cannot + "its folder " + folder.string() + ": " + Errno_Text());
  if (!S_ISDIR(st.st_mode)) Fail(cannot + folder.string() + " is not a folder");
  // A file made and removed: the folder takes new files (permissions, a read-only mount, quotas).
  std::string probe = (folder / ".checkpoint-probe.XXXXXX").string();
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) Fail(cannot + "its folder " + folder.string() + " takes no new file: " + Errno_Text());
  ::close(fd);
  ::unlink(probe.c_str());
}

Checkpoint_Reader::Checkpoint_Reader(const std::filesystem::path& path) : _name(path.string()) {
  const std::string cannot = "cannot read the checkpoint " + _name + ": ";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(cannot + Errno_Text());
  const File_Closer closer{fd};
  struct stat st;
  if (::fstat(fd, &st) != 0) Fail(cannot + Errno_Text());
  if (!S_ISREG(st.st_mode)) Fail(cannot + "it is not a regular file");
  const uint64_t size = uint64_t(st.st_size);
  // The prefix first: a file that is not a checkpoint, or whose length is wrong, is refused
  // before its body is allocated.
  std::string prefix(size_t(std::min<uint64_t>(size, kPrefix)), '\0');
  if (!Read_All(fd, prefix.data(), prefix.size())) Fail(cannot + "it ended before its size");
  const uint64_t length = Body_Length(prefix, size, "the checkpoint " + _name + " ");
  if (length > Memory_Bytes()) {
    Fail("the checkpoint " + _name + " has a body of " + std::to_string(length) +
         " bytes, more than this machine's memory");
  }
  try {
    _bytes.resize(kPrefix + size_t(length));
  } catch (const std::bad_alloc&) {
    Fail("the checkpoint " + _name + " has a body of " + std::to_string(length) +
         " bytes, more than this process can allocate");
  }
  std::memcpy(_bytes.data(), prefix.data(), kPrefix);
  if (!Read_All(fd, _bytes.data() + kPrefix, size_t(length))) Fail(cannot + "it ended before its size");
  privParse(_name);
}

Checkpoint_Reader::Checkpoint_Reader(std::string bytes, const std::string& name)
    : _bytes(std::move(bytes)), _name(name) {
  privParse(name);
}

void Checkpoint_Reader::privParse(const std::string& name) {
  const std::string refused = "the checkpoint " + name + " ";
  const uint64_t length = Body_Length(_bytes, _bytes.size(), refused);
  if (Get<uint32_t>(_bytes, 24) != Crc32(_bytes.data() + kPrefix, size_t(length)))
    Fail(refused + "is damaged: its CRC-32 does not match its contents");
  checkpoint_detail::Byte_Source source(_bytes.data() + kPrefix, size_t(length));
  std::istream stream(&source);
  cereal::BinaryInputArchive in(stream);
  try {
    _header.model = Read_String(in, source);
    _header.model_version = Read_String(in, source);
    uint64_t count = 0;
    in(count);
    if (count > source.remaining() / 16) throw cereal::Exception("more parameters than the file holds");
    for (uint64_t i = 0; i < count; ++i) {
      std::string parameter = Read_String(in, source);
      std::string value = Read_String(in, source);
      _header.parameters.emplace_back(std::move(parameter), std::move(value));
    }
    in(_header.seed, _header.iteration, _header.records.step, _header.records.rows, _header.records.run,
       _header.records.csv_bytes, _header.records.csv_digest);
    in(_fingerprint.calls, _fingerprint.sum);
  } catch (const cereal::Exception& e) {
    Fail(refused + "has a header that does not read: " + e.what());
  }
  _body_offset = kPrefix + (size_t(length) - source.remaining());
}

void Checkpoint_Reader::privRestore_Run(Measures* measures, cereal::BinaryInputArchive& in,
                                        checkpoint_detail::Byte_Source& source) {
  const std::string refused = "the checkpoint " + _name + " does not fit this model: ";
  World::Instance().Resume_At(_header.iteration);
  Run_Fingerprint::Instance().Restore(_fingerprint);
  Measures::Saved_State state;
  uint8_t saved = 0;
  try {
    in(saved);
    if (saved == 0) return;
    state.totals = Read_Bytes(in, source);
    state.pending = Read_Bytes(in, source);
    uint64_t count = 0;
    in(count);
    if (count > source.remaining() / 17) throw cereal::Exception("more measures than the file holds");
    state.values.resize(size_t(count));
    for (Measure_Value& v : state.values) {
      uint8_t kind = 0;
      in(kind, v.integer, v.real);
      if (kind > uint8_t(Measure_Value::Kind::real)) throw cereal::Exception("a value of no known kind");
      v.kind = Measure_Value::Kind(kind);
    }
  } catch (const cereal::Exception& e) {
    Fail(refused + "its measures do not read back: " + e.what());
  }
  if (measures != nullptr && measures->started() && !measures->Restore_State(state))
    Fail(refused + "its measures were declared otherwise");
}

}  // namespace quarnel
