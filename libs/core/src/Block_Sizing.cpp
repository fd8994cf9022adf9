#include <quarnel/detail/Block_Sizing.h>

#include <quarnel/Fatal_Error.h>
#include <quarnel/Globals.h>

namespace quarnel {
namespace {

constexpr uint64_t P = __page_size;
constexpr uint64_t L = __cache_line_size;

uint64_t Small_Block_Bytes(uint64_t need) {
  for (uint64_t bytes = P / 16; bytes < P / 2; bytes *= 2) {
    if (need <= bytes) return bytes;
  }
  return P / 2;
}

}  // namespace

uint32_t Cell_Stride(uint32_t object_size) {
  return (object_size / uint32_t(L) + 1) * uint32_t(L);
}

Block_Shape Block_Size(uint32_t objects_per_block, uint32_t cell_stride, uint32_t header_bytes) {
  const uint64_t need = uint64_t(objects_per_block) * cell_stride + header_bytes;
  uint64_t bytes;
  if (need > P / 2) {
    bytes = (need / P + 1) * P;
  } else if (objects_per_block == 1) {
    bytes = (need + L - 1) / L * L;
  } else {
    bytes = Small_Block_Bytes(need);
  }
  if (bytes > UINT32_MAX || cell_stride == 0) {
    QUARNEL_FATAL("A block of " << objects_per_block << " objects of " << cell_stride
                                << " bytes cannot be allocated");
  }
  return Block_Shape{uint32_t(bytes), uint32_t((bytes - header_bytes) / cell_stride)};
}

uint32_t Chunk_Size(uint32_t active_blocks, uint32_t num_threads, uint32_t blocks_per_thread) {
  const float shares = float(num_threads) * float(blocks_per_thread);
  if (shares < 1.0f) return active_blocks == 0 ? 1 : active_blocks;
  const uint32_t chunk = uint32_t(float(active_blocks) / shares);
  return chunk == 0 ? 1 : chunk;
}

}  // namespace quarnel
