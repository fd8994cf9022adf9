#include <quarnel/Memory_Allocation.h>

#include <fstream>
#include <string>
#include <unordered_map>

#include <quarnel/Component_Manager.h>

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

}  // namespace

void WriteMemoryFileHeaders(std::filesystem::path folder) {
  std::filesystem::path object_file = folder;
  object_file /= "object_allocations.csv";
  _object_output_file = std::move(object_file);
  _block_output_file = folder / "block_allocations.csv";

  std::ofstream out(_object_output_file, std::ios::out | std::ios::trunc);
  out << kObjectHeader << '\n';
  out.close();
  out.open(_block_output_file, std::ios::out | std::ios::trunc);  // a successful open clears a failure
  out << kBlockHeader << '\n';
  out.close();
}

void WriteMemoryFootprint(unsigned int iteration) {
  std::ofstream out(_object_output_file, std::ios::out | std::ios::app);
  if (!out.is_open()) return;
  for (uint64_t i = 0; i < _type_counter._rows; ++i) {
    out << i << ",\"" << Type_Name(i) << "\"," << iteration << ',' << double(Row_Kilobytes(i)) << '\n';
  }
}

void WriteBlockAllocationHistory() {
  std::ofstream out(_block_output_file, std::ios::out | std::ios::trunc);
  if (!out.is_open()) return;
  out << kBlockHeader << '\n';
  for (const Block_Record& entry : _block_history) {
    out << '"' << Type_Name(std::get<0>(entry)) << "\"," << std::get<1>(entry) << ',' << std::get<2>(entry)
        << ',' << std::get<3>(entry) << ',' << std::get<4>(entry) << '\n';
    out.flush();
  }
}

}  // namespace quarnel
