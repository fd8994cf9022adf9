// The memory behind execution and event blocks.
//
// A `Block_Arena` carves blocks out of 2 MiB-aligned regions mapped from the kernel and marked
// for transparent huge pages: filling ten million cells then takes a few thousand page faults
// instead of a hundred and fifty thousand, and walking them misses the TLB far less. A block
// larger than half a region gets a mapping of its own, unmapped when the block is freed.
// Freed block memory is kept, by size, for the next block of that size. When the last block
// is freed the regions past the first kResident_Regions are handed to the kernel as lazily
// free (MADV_FREE: it reclaims their pages only when it needs memory) and all are carved
// again from the first one: a run that follows another in the same process reuses its pages
// instead of faulting them in anew, and no run maps more regions than the largest run before
// it needed.
//
// Thread safety: Allocate and Release may be called from any thread (one mutex; blocks are
// made and freed once per many objects).
//
// Invariants:
//  1. Every address handed out is aligned to a cache line and lies in exactly one region (or
//     is a dedicated mapping) until it is released.
//  2. A released address is handed out again only for the same size, until no block is live.
//  3. Regions are carved in order: regions [0, _next_region) have been handed out since the
//     arena last had no live block, the rest are idle.
//
// Block_Memory.h takes blocks from the process's arena (Allocate_Block_Memory); builds with
// AddressSanitizer take them from operator new instead, so that the sanitizer still sees
// every block as a heap allocation of its own.
#pragma once

#include <cstddef>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace quarnel {

class Block_Arena {
 public:
  static constexpr std::size_t kRegion_Bytes = std::size_t(2) << 20;
  // Regions never handed back to the kernel once carved (the first 8 MiB): what a small run
  // uses stays in place for the next one.
  static constexpr std::size_t kResident_Regions = 4;

  Block_Arena() = default;
  ~Block_Arena();
  Block_Arena(const Block_Arena&) = delete;
  Block_Arena& operator=(const Block_Arena&) = delete;

  // `bytes` of memory (a multiple of 64 after rounding up); throws std::bad_alloc when the
  // kernel refuses a mapping.
  void* Allocate(std::size_t bytes);
  // Gives back what Allocate(bytes) returned, with the same `bytes`.
  void Release(void* memory, std::size_t bytes) noexcept;

  // Regions (idle ones included) and dedicated mappings held now; for inspection.
  std::size_t mappings() const;

 private:
  struct Mapping {
    char* base;
    std::size_t bytes;
  };

  static std::size_t Rounded(std::size_t bytes) { return (bytes + 63) / 64 * 64; }
  // A fresh mapping of `bytes` (a multiple of kRegion_Bytes) aligned to kRegion_Bytes.
  static char* Map(std::size_t bytes);
  void Unmap_All();
  // With no block live: forget the free lists and carve from the first region again.
  void Start_Over();

  mutable std::mutex _mutex;
  std::vector<Mapping> _regions;                              // shared regions, bump-allocated
  std::size_t _next_region = 0;                               // the next region to carve
  std::unordered_map<char*, std::size_t> _dedicated;          // address -> mapped bytes
  std::unordered_map<std::size_t, std::vector<void*>> _free;  // released block memory by size
  char* _bump = nullptr;
  char* _bump_end = nullptr;
  std::size_t _live = 0;
};

// Block memory for Create_Block and Release_Block: the process's arena (operator new under
// AddressSanitizer). When `Set_Block_Memory_Perturb(byte)` was given a byte (0..255), every
// block's memory is filled with it when handed out, so that code reading cells it never
// wrote misbehaves at once; -1 (the default) turns that off. The setting is read when a
// block is made: change it only while no block is being made.
void* Allocate_Block_Memory(std::size_t bytes);
void Release_Block_Memory(void* memory, std::size_t bytes) noexcept;
void Set_Block_Memory_Perturb(int byte);

}  // namespace quarnel
