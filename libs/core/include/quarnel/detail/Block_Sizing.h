// How big a memory block is, how wide its cells are, and how many blocks make one chunk of
// a manager's step. Shared by the execution and the event managers, which size their blocks
// by the same rule.
//
// Thread safety: pure functions.
//
// Rules (all sizes in bytes, P = __page_size, L = __cache_line_size, D = header bytes):
//  1. A cell's stride is the object's size rounded up to whole cache lines, always at least
//     one byte more than the object: 48 -> 64, 64 -> 128.
//  2. A block of n cells of stride s needs n * s + D bytes. Above P / 2 it takes whole pages
//     and always one page more than the need divides into (4096 -> 8192); a single cell
//     takes the need rounded up to L; otherwise the smallest of 256, 512, 1024 and 2048
//     that holds the need.
//  3. The cells of a block are as many strides as fit behind the header.
//  4. A chunk is the active blocks divided by (threads * blocks per thread), computed in
//     float and truncated, and at least 1.
#pragma once

#include <cstdint>

namespace quarnel {

struct Block_Shape {
  uint32_t bytes;  // the block's whole allocation, header included
  uint32_t cells;  // cells behind the header
};

uint32_t Cell_Stride(uint32_t object_size);

// Raises a fatal error when the block would not fit in 32 bits.
Block_Shape Block_Size(uint32_t objects_per_block, uint32_t cell_stride, uint32_t header_bytes);

uint32_t Chunk_Size(uint32_t active_blocks, uint32_t num_threads, uint32_t blocks_per_thread);

}  // namespace quarnel
