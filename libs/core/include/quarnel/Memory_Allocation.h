// Memory accounting: counting hooks, the process-wide tables and the two CSV report writers.
//
// The hooks (IncrementMemory, DecrementMemory, IncrementBlock) are called by the object
// allocation and release paths on every worker thread and on the controlling thread. They
// record nothing, so they are trivially safe under that concurrency; a host that makes them
// count must serialise its updates (_block_history_mutex exists for the history).
//
// The writers read `_type_counter`, `_block_history` and `__component_names` without a lock:
// REQUIRES: no thread changes those tables while a writer runs (between steps or after the
// run). A report that cannot be opened, written or closed (a missing folder, a full disk, a
// file-size limit) is a fatal error that names the writer, the file and the system's reason
// ("WriteMemoryFootprint: could not write the memory report <file>: No space left on
// device"); each writer builds its text first and writes it in one go. Before
// WriteMemoryFileHeaders has named the reports the other two writers write nothing.
//
// Report formats (lines end with a single '\n'):
//   object_allocations.csv  "Typeid,Typename,Iteration,KBytes", then per call one row per
//                           type id: 3,"Agent",12,0.046875 (KBytes summed in float, printed
//                           as a default-formatted double).
//   block_allocations.csv   "Typename,iteration,blk_size,num_cells,cell_size", then one row
//                           per history entry: "Agent",5,4096,63,64.
// WriteBlockAllocationHistory rewrites its report whole (header, then every entry), so calling
// it again after more blocks were recorded never duplicates rows.
#pragma once

#include <filesystem>
#include <mutex>
#include <tuple>
#include <vector>

#include <quarnel/m_array.h>

namespace quarnel {

// (type id, iteration, block size in bytes, cells in the block, cell size in bytes)
using Block_Record = std::tuple<unsigned int, unsigned int, unsigned int, unsigned int, unsigned int>;

extern matrix<long long> _type_counter;  // row = component type id; every column counts bytes
extern std::vector<Block_Record> _block_history;
extern std::mutex _block_history_mutex;  // for code that appends to the history; writers do not take it
extern std::filesystem::path _object_output_file;
extern std::filesystem::path _block_output_file;

// Hooks: (type id, bytes) for each object handed out / taken back. Record nothing; inline,
// so that the allocation paths pay nothing for them.
inline void IncrementMemory(unsigned int, unsigned int) {}
inline void DecrementMemory(unsigned int, unsigned int) {}
inline void IncrementBlock(unsigned int, unsigned int, unsigned int, unsigned int, unsigned int) {}

// Points both reports into `folder` (which must exist) and starts them with their headers,
// the object report first.
void WriteMemoryFileHeaders(std::filesystem::path folder);
// Appends one row per component type id for `iteration` to the object report.
void WriteMemoryFootprint(unsigned int iteration);
// Rewrites the block report: its header, then one row per history entry.
void WriteBlockAllocationHistory();

}  // namespace quarnel
