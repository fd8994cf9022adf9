#include <quarnel/Run_Fingerprint.h>

#include <cstdio>

#include <quarnel/Fatal_Error.h>
#include <quarnel/Logger.h>

namespace quarnel {
namespace {

// The 64-bit finaliser of MurmurHash3: a bijection that spreads every input bit.
uint64_t Mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdull;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ull;
  return x ^ (x >> 33);
}

}  // namespace

uint64_t Fingerprint_Hash(uint64_t identity, Revision revision) {
  return Mix(identity ^ Mix(revision._revision ^ 0x52756e2d46707269ull));
}

std::string to_string(Run_Digest const& digest) {
  char sum[19];
  std::snprintf(sum, sizeof(sum), "0x%016llx", static_cast<unsigned long long>(digest.sum));
  return std::string(sum) + " over " + std::to_string(digest.calls) + " handler calls";
}

Run_Fingerprint& Run_Fingerprint::Instance() {
  static Run_Fingerprint fingerprint;
  return fingerprint;
}

void Run_Fingerprint::Begin_Run(uint32_t num_threads) {
  _lanes.assign(size_t(num_threads) + 1, Slot{});
  _total = Run_Digest{};
}

Run_Digest* Run_Fingerprint::privLane(int32_t thread) {
  if (thread < 0 || size_t(thread) >= _lanes.size()) {
    QUARNEL_FATAL("Run fingerprint: thread " << thread << " steps a block, but the run has " << _lanes.size()
                                             << " thread indices");
  }
  return &_lanes[size_t(thread)].digest;
}

void Run_Fingerprint::Merge() {
  for (Slot& lane : _lanes) {
    _total.Merge(lane.digest);
    lane.digest = Run_Digest{};
  }
}

void Run_Fingerprint::Log_Result() const {
  if (on()) Quarnel_Logging_Interface::notice("Run fingerprint: " + to_string(_total));
}

}  // namespace quarnel
