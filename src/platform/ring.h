// TBoundedRing: a first-in first-out queue of fixed capacity on an array,
// Slots slots of which one stays free, so at most Slots - 1 items wait. A
// full ring refuses the next item rather than growing or overwriting: the
// bus's queues drop what does not fit and say so.
//
// Not thread-safe: its owner guards it with its own lock (the owners keep
// more state under the same lock, such as the held gate or a waiting comm
// status event).
#pragma once

#include <array>
#include <utility>

namespace orlo {

template <typename T, int Slots>
class TBoundedRing {
  static_assert(Slots >= 2, "a ring needs a free slot beside its items");

 public:
  static constexpr int kSlots = Slots;

  // False when the ring is full (the item is not taken).
  bool Push(T item) {
    const int next = (write_ + 1) % Slots;
    if (next == read_) return false;
    slots_[write_] = std::move(item);
    write_ = next;
    return true;
  }
  // The oldest waiting item; null when none waits.
  const T* Front() const { return Empty() ? nullptr : &slots_[read_]; }
  // Removes the oldest waiting item (its slot is reset, releasing what it held).
  void PopFront() {
    if (Empty()) return;
    slots_[read_] = T{};
    read_ = (read_ + 1) % Slots;
  }
  bool Empty() const { return read_ == write_; }
  int Size() const { return (write_ - read_ + Slots) % Slots; }

 private:
  std::array<T, Slots> slots_{};
  int write_ = 0;
  int read_ = 0;
};

}  // namespace orlo
