#include <quarnel/Globals.h>

#include <quarnel/Fatal_Error.h>

namespace quarnel {

Revision __revision_omega = Revision(4294967295u, 0u);
Revision __revision_free = Revision(4294967295u, 4294967295u);

thread_local constinit int32_t __thread_id = 0;

void Refuse_Revision_Half(const char* call, const char* half, int64_t value) {
  QUARNEL_FATAL(call << ": the " << half << " is " << value
                     << "; iterations and sub-iterations are whole numbers from 0 to 4294967295");
}

std::string to_string(Revision const& r) {
  return "Rev(" + std::to_string(r._iteration) + "," + std::to_string(r._sub_iteration) + ")";
}

}  // namespace quarnel
