// A first-in, first-out queue of record pointers shared by two threads.
// Every operation but size() is made under the queue's own mutex; size()
// is a momentary count that any thread may read for a report.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>

template <typename T>
class tavuQueue {
 public:
  void push_back(T item) {
    iv_items.push_back(item);
    iv_count.store(static_cast<int32_t>(iv_items.size()), std::memory_order_relaxed);
  }
  T front() const { return iv_items.front(); }
  void pop_front() {
    iv_items.pop_front();
    iv_count.store(static_cast<int32_t>(iv_items.size()), std::memory_order_relaxed);
  }
  bool empty() const { return iv_items.empty(); }
  int32_t size() const { return iv_count.load(std::memory_order_relaxed); }

 private:
  std::deque<T> iv_items;
  std::atomic<int32_t> iv_count{0};
};
