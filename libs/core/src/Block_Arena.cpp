#include <quarnel/detail/Block_Arena.h>

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

#include <quarnel/Globals.h>

namespace quarnel {

Block_Arena::~Block_Arena() {
  Unmap_All();
}

char* Block_Arena::Map(std::size_t bytes) {
  // Map one region more than asked, keep the aligned part, give the rest back.
  const std::size_t mapped = bytes + kRegion_Bytes;
  void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  char* const start = static_cast<char*>(raw);
  char* const aligned = reinterpret_cast<char*>(
      (reinterpret_cast<std::uintptr_t>(start) + kRegion_Bytes - 1) & ~(kRegion_Bytes - 1));
  if (aligned != start) munmap(start, std::size_t(aligned - start));
  char* const end = aligned + bytes;
  if (end != start + mapped) munmap(end, std::size_t(start + mapped - end));
  // A hint: without transparent huge pages (or with them off) the mapping simply keeps
  // ordinary pages.
  madvise(aligned, bytes, MADV_HUGEPAGE);
  return aligned;
}

void* Block_Arena::Allocate(std::size_t bytes) {
  bytes = Rounded(bytes);
  std::lock_guard lock(_mutex);
  void* memory = nullptr;
  if (bytes > kRegion_Bytes / 2) {
    const std::size_t mapped = (bytes + kRegion_Bytes - 1) / kRegion_Bytes * kRegion_Bytes;
    char* base = Map(mapped);
    try {
      _dedicated.emplace(base, mapped);
    } catch (...) {
      munmap(base, mapped);
      throw;
    }
    memory = base;
  } else if (auto found = _free.find(bytes); found != _free.end() && !found->second.empty()) {
    memory = found->second.back();
    found->second.pop_back();
  } else {
    if (std::size_t(_bump_end - _bump) < bytes) {
      if (_next_region == _regions.size()) {
        _regions.reserve(_regions.size() + 1);  // so that recording the region cannot throw
        _regions.push_back({Map(kRegion_Bytes), kRegion_Bytes});
      }
      _bump = _regions[_next_region++].base;
      _bump_end = _bump + kRegion_Bytes;
    }
    memory = _bump;
    _bump += bytes;
  }
  ++_live;
  return memory;
}

void Block_Arena::Release(void* memory, std::size_t bytes) noexcept {
  bytes = Rounded(bytes);
  std::lock_guard lock(_mutex);
  if (bytes > kRegion_Bytes / 2) {
    const auto found = _dedicated.find(static_cast<char*>(memory));
    if (found == _dedicated.end()) return;  // not from this arena: nothing to give back
    munmap(found->first, found->second);
    _dedicated.erase(found);
  } else {
    try {
      _free[bytes].push_back(memory);
    } catch (...) {
      // Not kept for reuse now: its region is carved again once no block is live.
    }
  }
  if (--_live == 0) Start_Over();
}

void Block_Arena::Start_Over() {
  // The kernel may take the pages back whenever it needs them; until it does, the next run
  // writes into memory that is already there. Either way the contents are gone: block
  // memory is written before it is read. Only the regions carved since the last start-over
  // can hold pages (the others were advised then), and the first few stay as they are: the
  // advice costs a TLB shoot-down on every core the process ran on, tens of microseconds,
  // a visible share of a small model's whole run, for memory a next run takes again at once.
  for (std::size_t i = kResident_Regions; i < _next_region; ++i) {
    madvise(_regions[i].base, _regions[i].bytes, MADV_FREE);
  }
  _free.clear();
  _next_region = 0;
  _bump = _bump_end = nullptr;
}

void Block_Arena::Unmap_All() {
  for (const Mapping& region : _regions) munmap(region.base, region.bytes);
  for (const auto& [base, bytes] : _dedicated) munmap(base, bytes);
  _regions.clear();
  _dedicated.clear();
  _free.clear();
  _next_region = 0;
  _bump = _bump_end = nullptr;
}

std::size_t Block_Arena::mappings() const {
  std::lock_guard lock(_mutex);
  return _regions.size() + _dedicated.size();
}

namespace {

std::atomic<int> block_memory_perturb{-1};

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kBlocks_From_Heap = true;
#else
constexpr bool kBlocks_From_Heap = false;
#endif

Block_Arena& Process_Arena() {
  // Never destroyed: blocks may be released while static objects are being destroyed.
  static Block_Arena* arena = new Block_Arena;
  return *arena;
}

}  // namespace

void* Allocate_Block_Memory(std::size_t bytes) {
  void* memory = kBlocks_From_Heap ? ::operator new[](bytes, std::align_val_t(__cache_line_size))
                                   : Process_Arena().Allocate(bytes);
  const int perturb = block_memory_perturb.load(std::memory_order_relaxed);
  if (perturb >= 0) std::memset(memory, perturb, bytes);
  return memory;
}

void Release_Block_Memory(void* memory, std::size_t bytes) noexcept {
  if (kBlocks_From_Heap) {
    ::operator delete[](memory, std::align_val_t(__cache_line_size));
  } else {
    Process_Arena().Release(memory, bytes);
  }
}

void Set_Block_Memory_Perturb(int byte) {
  block_memory_perturb.store(byte >= 0 && byte <= 255 ? byte : -1, std::memory_order_relaxed);
}

}  // namespace quarnel
