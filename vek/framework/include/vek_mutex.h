#pragma once
// The library's mutex: recursive, like the operating-system mutex it stands for.

#include <mutex>

class VEK_Mutex {
 public:
  VEK_Mutex() = default;
  VEK_Mutex(const VEK_Mutex&) = delete;
  VEK_Mutex& operator=(const VEK_Mutex&) = delete;
  virtual ~VEK_Mutex() = default;

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }
  bool try_lock() { return mutex_.try_lock(); }

 private:
  std::recursive_mutex mutex_;
};

// Serialises the JPEG codec's global set-up and release; header reading and decoding run
// without it. Constructed before any other static object of the program (see vek_mutex.cpp).
extern VEK_Mutex vek_global_mutex;
