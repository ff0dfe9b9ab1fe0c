// A mapped model whose file is truncated while its metadata is parsed makes
// the reading thread fault (SIGBUS), which would end the process. A program
// that must survive that (an interpreter) installs this guard once: a fault
// inside a registered mapping gets a page of zeros mapped over it and marks
// the mapping, so the read goes on and Model::check_unchanged reports the
// file as changed; any other SIGBUS goes to the handler that was there before.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick::file {

// Idempotent and thread-safe.
void install_fault_guard();

// A mapping's registration, released by the destructor. Registering never
// fails: beyond the table's size a mapping is simply not guarded.
class GuardedRange {
 public:
  GuardedRange() = default;
  GuardedRange(const void* begin, std::size_t size);
  GuardedRange(GuardedRange&& other) noexcept;
  GuardedRange& operator=(GuardedRange&& other) noexcept;
  ~GuardedRange();

  // Whether a read fault was absorbed inside the range.
  bool faulted() const;

 private:
  void release();
  int slot_ = -1;
};

}  // namespace tarnwick::file
