#include <quarnel/Memory_Allocation.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <unordered_map>

#include <quarnel/Component_Manager.h>
#include <quarnel/Fatal_Error.h>

namespace quarnel {

matrix<long long> _type_counter;
std::vector<Block_Record> _block_history;
std::mutex _block_history_mutex;
std::filesystem::path _object_output_file;
std::filesystem::path _block_output_file;

namespace {

constexpr const char* kObjectHeader = "Typeid,Typename,Iteration,KBytes";
constexpr const char* kBlockHeader = "Typename,iteration,blk_size,num_cells,cell_size";

// The registered name of a type id; empty when the id (or the whole registry) is unknown.
// Reads the registry without changing it.
std::string Type_Name(uint64_t type_id) {
  if (__component_names == nullptr) return "";
  auto found = __component_names->find(type_id);
  return found == __component_names->end() ? "" : found->second;
}

// The kilobytes of one row: each column's bytes / 1024 in double, summed in float.
float Row_Kilobytes(uint64_t row) {
  float kbytes = 0;
  for (uint64_t j = 0; j < _type_counter._cols; ++j) {
    kbytes += float(double(_type_counter(row, j)) * 0.0009765625);
  }
  return kbytes;
}

// Writes `text` into `file` (appended to, or replacing what it held); a fatal error that
// names the writer, the file and the system's reason when the file cannot be opened,
// written, flushed or closed.
void Write_Report(const char* writer, const std::filesystem::path& file, const std::string& text,
                  bool append) {
  errno = 0;
  FILE* out = std::fopen(file.c_str(), append ? "ab" : "wb");
  if (out == nullptr) {
    const int error = errno;
    QUARNEL_FATAL(writer << ": could not open the memory report " << file.string() << ": "
                         << std::strerror(error));
  }
  const size_t written = std::fwrite(text.data(), 1, text.size(), out);
  int error = written == text.size() ? 0 : errno;
  if (std::fflush(out) != 0 && error == 0) error = errno;
  if (std::fclose(out) != 0 && error == 0) error = errno;
  if (error != 0 || written != text.size()) {
    QUARNEL_FATAL(writer << ": could not write the memory report " << file.string() << ": "
                         << (error != 0 ? std::strerror(error) : "a short write"));
  }
}

}  // namespace

void WriteMemoryFileHeaders(std::filesystem::path folder) {
  std::filesystem::path object_file = folder;
  object_file /= "object_allocations.csv";
  _object_output_file = std::move(object_file);
  _block_output_file = folder / "block_allocations.csv";
  Write_Report("WriteMemoryFileHeaders", _object_output_file, std::string(kObjectHeader) + '\n', false);
  Write_Report("WriteMemoryFileHeaders", _block_output_file, std::string(kBlockHeader) + '\n', false);
}

void WriteMemoryFootprint(unsigned int iteration) {
  if (_object_output_file.empty()) return;
  std::ostringstream rows;
  for (uint64_t i = 0; i < _type_counter._rows; ++i) {
    rows << i << ",\"" << Type_Name(i) << "\"," << iteration << ',' << double(Row_Kilobytes(i)) << '\n';
  }
  Write_Report("WriteMemoryFootprint", _object_output_file, rows.str(), true);
}

void WriteBlockAllocationHistory() {
  if (_block_output_file.empty()) return;
  std::ostringstream rows;
  rows << kBlockHeader << '\n';
  for (const Block_Record& entry : _block_history) {
    rows << '"' << Type_Name(std::get<0>(entry)) << "\"," << std::get<1>(entry) << ',' << std::get<2>(entry)
         << ',' << std::get<3>(entry) << ',' << std::get<4>(entry) << '\n';
  }
  Write_Report("WriteBlockAllocationHistory", _block_output_file, rows.str(), false);
}

}  // namespace quarnel
