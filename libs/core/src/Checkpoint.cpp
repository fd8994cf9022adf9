#include <quarnel/Checkpoint.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

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

// A string of the header, refused before it is allocated when it claims more than is left.
std::string Read_String(cereal::BinaryInputArchive& in, checkpoint_detail::Byte_Source& source) {
  uint64_t size = 0;
  in(size);
  if (size > source.remaining()) throw cereal::Exception("a string longer than the file");
  std::string text(size_t(size), '\0');
  in(cereal::binary_data(text.data(), size_t(size)));
  return text;
}

void Write_String(cereal::BinaryOutputArchive& out, const std::string& text) {
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

namespace {
constexpr size_t kBuffer = size_t(1) << 20;
// Past this many bytes written, their write-back to the disk is started while the body goes
// on: the final fsync then waits for the rest only.
constexpr uint64_t kWrite_Back = uint64_t(64) << 20;
}  // namespace

File_Sink::File_Sink(const std::filesystem::path& path) : _path(path), _temporary(path.string() + ".tmp") {
  _fd = ::open(_temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (_fd < 0) Fail("cannot write the checkpoint " + _temporary + ": " + Errno_Text());
  _crc = uint32_t(crc32(0L, Z_NULL, 0));
  _buffer.resize(kBuffer);
  setp(_buffer.data(), _buffer.data() + _buffer.size());
  // The prefix's place; Finish fills it in once the body's length and CRC-32 are known.
  const std::string zeros(kPrefix, '\0');
  if (!Write_All(_fd, zeros.data(), zeros.size()))
    _error = "cannot write the checkpoint " + _temporary + ": " + Errno_Text();
}

File_Sink::~File_Sink() {
  if (_fd >= 0) ::close(_fd);
  if (!_finished) ::unlink(_temporary.c_str());
}

bool File_Sink::privWrite(const char* data, size_t n) {
  if (!_error.empty()) return false;
  if (!Write_All(_fd, data, n)) {
    _error = "cannot write the checkpoint " + _temporary + ": " + Errno_Text();
    return false;
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
  return true;
}

bool File_Sink::privFlush() {
  const size_t n = size_t(pptr() - pbase());
  setp(_buffer.data(), _buffer.data() + _buffer.size());
  return n == 0 || privWrite(_buffer.data(), n);
}

std::streamsize File_Sink::xsputn(const char* s, std::streamsize n) {
  if (n <= 0) return 0;  // an empty vector's data() may be null, which memcpy must not see
  const size_t size = size_t(n);
  if (size <= size_t(epptr() - pptr())) {
    std::memcpy(pptr(), s, size);
    pbump(int(size));
    return n;
  }
  if (!privFlush()) return 0;
  if (size < _buffer.size()) {
    std::memcpy(pptr(), s, size);
    pbump(int(size));
    return n;
  }
  return privWrite(s, size) ? n : 0;
}

File_Sink::int_type File_Sink::overflow(int_type c) {
  if (!privFlush()) return traits_type::eof();
  if (c != traits_type::eof()) {
    *pptr() = char(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

void File_Sink::Finish() {
  privFlush();
  if (!_error.empty()) Fail(_error);
  std::string prefix(kMagic, sizeof(kMagic));
  Put<uint32_t>(prefix, __checkpoint_format);
  Put<uint32_t>(prefix, 0);
  Put<uint64_t>(prefix, _length);
  Put<uint32_t>(prefix, _crc);
  size_t at = 0;
  while (at < prefix.size()) {
    const ssize_t written = ::pwrite(_fd, prefix.data() + at, prefix.size() - at, off_t(at));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) Fail("cannot write the checkpoint " + _temporary + ": " + Errno_Text());
    at += size_t(written);
  }
  if (::fsync(_fd) != 0) Fail("cannot write the checkpoint " + _temporary + ": " + Errno_Text());
  const int fd = _fd;
  _fd = -1;
  if (::close(fd) != 0) Fail("cannot write the checkpoint " + _temporary + ": " + Errno_Text());
  if (::rename(_temporary.c_str(), _path.c_str()) != 0)
    Fail("cannot put the checkpoint in place as " + _path.string() + ": " + Errno_Text());
  _finished = true;
  // The rename itself survives a crash of the machine once the folder is synced.
  const std::filesystem::path folder = _path.has_parent_path() ? _path.parent_path() : ".";
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
}

void Save_Run(cereal::BinaryOutputArchive& out, const Checkpoint_Header& header, const Measures* measures) {
  Write_String(out, header.model);
  Write_String(out, header.model_version);
  out(uint64_t(header.parameters.size()));
  for (const auto& [name, value] : header.parameters) {
    Write_String(out, name);
    Write_String(out, value);
  }
  out(header.seed, header.iteration, header.records.step, header.records.rows, header.records.run);
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

Checkpoint_Reader::Checkpoint_Reader(const std::filesystem::path& path) : _name(path.string()) {
  std::ifstream file(path, std::ios::binary);
  if (!file) Fail("cannot read the checkpoint " + _name + ": " + Errno_Text());
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  if (error) Fail("cannot read the checkpoint " + _name + ": " + error.message());
  _bytes.resize(size_t(size));
  if (!file.read(_bytes.data(), std::streamsize(size)))
    Fail("cannot read the checkpoint " + _name + ": it ended before its size");
  privParse(_name);
}

Checkpoint_Reader::Checkpoint_Reader(std::string bytes, const std::string& name)
    : _bytes(std::move(bytes)), _name(name) {
  privParse(name);
}

void Checkpoint_Reader::privParse(const std::string& name) {
  const std::string refused = "the checkpoint " + name + " ";
  if (_bytes.empty()) Fail(refused + "is empty");
  if (_bytes.size() < kPrefix || std::memcmp(_bytes.data(), kMagic, sizeof(kMagic)) != 0)
    Fail(refused + "is not a Quarnel checkpoint");
  const uint32_t format = Get<uint32_t>(_bytes, 8);
  if (format > __checkpoint_format) {
    Fail(refused + "has format " + std::to_string(format) + ", newer than this program's " +
         std::to_string(__checkpoint_format));
  }
  if (format == 0) Fail(refused + "has format 0, which no program writes");
  const uint64_t length = Get<uint64_t>(_bytes, 16);
  if (length != _bytes.size() - kPrefix) {
    Fail(refused + "is cut short or extended: its body has " + std::to_string(_bytes.size() - kPrefix) +
         " bytes where it says " + std::to_string(length));
  }
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
    in(_header.seed, _header.iteration, _header.records.step, _header.records.rows, _header.records.run);
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
