#include <quarnel/detail/Intrusive_Binary_Heap.h>

#include <new>
#include <string_view>

#include <quarnel/Fatal_Error.h>

namespace quarnel {

// Out of line, so that no caller sees the allocation's size: the sift loops read a whole
// group of four children only when all four are below the size, which the compiler cannot
// tie to the capacity.
void* Ibh_Allocate(size_t bytes) {
  return ::operator new[](bytes, std::align_val_t(__cache_line_size));
}

void Ibh_Release(void* storage) {
  ::operator delete[](storage, std::align_val_t(__cache_line_size));
}

void Ibh_Misuse(const char* what, int64_t position, uint32_t size, uint32_t capacity) {
  const std::string_view op = what;
  if (op == "Reserve") {
    QUARNEL_FATAL("Intrusive_Binary_Heap::Reserve: a heap holds at most "
                  << Intrusive_Binary_Heap<ibh_node>::kMax_Capacity << " elements (asked for " << position
                  << ", capacity " << capacity << ")");
  }
  if (op == "push_node" && position != -1) {
    QUARNEL_FATAL("Intrusive_Binary_Heap::push_node: the node is already in a heap (at position " << position
                                                                                                  << ")");
  }
  if (op == "push_node") {
    QUARNEL_FATAL("Intrusive_Binary_Heap::push_node: the heap is full: it holds at most " << capacity
                                                                                          << " elements");
  }
  QUARNEL_FATAL("Intrusive_Binary_Heap::" << what << ": the node is not in this heap (position " << position
                                          << ", size " << size << ")");
}

}  // namespace quarnel
