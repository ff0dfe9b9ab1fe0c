#include "file/fault_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <utility>

namespace tarnwick::file {
namespace {

// Read by the handler, so only lock-free atomics. A slot is claimed by
// setting `begin` last and released by clearing it first.
struct Slot {
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> faulted{false};
  std::atomic<bool> taken{false};
};
constexpr int kSlots = 256;
Slot g_slots[kSlots];
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

struct sigaction g_previous {};
std::uintptr_t g_page = 4096;

void pass_on(int sig, siginfo_t* info, void* context) {
  if (g_previous.sa_flags & SA_SIGINFO) {
    g_previous.sa_sigaction(sig, info, context);
  } else if (g_previous.sa_handler == SIG_DFL || g_previous.sa_handler == SIG_IGN) {
    // The faulting access runs again on return and ends the process as if
    // no guard had been there.
    signal(sig, SIG_DFL);
  } else {
    g_previous.sa_handler(sig);
  }
}

void on_bus_error(int sig, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& slot : g_slots) {
    const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= slot.end.load(std::memory_order_acquire)) continue;
    void* page = reinterpret_cast<void*>(address & ~(g_page - 1));
    if (mmap(page, g_page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) break;
    slot.faulted.store(true, std::memory_order_release);
    return;
  }
  pass_on(sig, info, context);
}

}  // namespace

void install_fault_guard() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (long page = sysconf(_SC_PAGESIZE); page > 0) g_page = static_cast<std::uintptr_t>(page);
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_sigaction = on_bus_error;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(SIGBUS, &sa, &g_previous);
  });
}

GuardedRange::GuardedRange(const void* begin, std::size_t size) {
  if (begin == nullptr || size == 0) return;
  for (int i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (!g_slots[i].taken.compare_exchange_strong(expected, true)) continue;
    Slot& slot = g_slots[i];
    const auto b = reinterpret_cast<std::uintptr_t>(begin);
    slot.faulted.store(false);
    slot.end.store(b + size, std::memory_order_release);
    slot.begin.store(b, std::memory_order_release);
    slot_ = i;
    return;
  }
}

GuardedRange::GuardedRange(GuardedRange&& other) noexcept : slot_(std::exchange(other.slot_, -1)) {}

GuardedRange& GuardedRange::operator=(GuardedRange&& other) noexcept {
  if (this != &other) {
    release();
    slot_ = std::exchange(other.slot_, -1);
  }
  return *this;
}

GuardedRange::~GuardedRange() { release(); }

void GuardedRange::release() {
  if (slot_ < 0) return;
  Slot& slot = g_slots[slot_];
  slot.begin.store(0, std::memory_order_release);
  slot.end.store(0, std::memory_order_release);
  slot.taken.store(false, std::memory_order_release);
  slot_ = -1;
}

bool GuardedRange::faulted() const {
  return slot_ >= 0 && g_slots[slot_].faulted.load(std::memory_order_acquire);
}

}  // namespace tarnwick::file
