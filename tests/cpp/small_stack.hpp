// Runs a test body on a thread with a 256 KiB stack, as small as a Python
// thread started after threading.stack_size(256 * 1024): deep input must not
// exhaust even that.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>

namespace quillon {

inline void on_small_stack(std::function<void()> body) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
  pthread_t thread;
  auto run = [](void* arg) -> void* {
    (*static_cast<std::function<void()>*>(arg))();
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, run, &body), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

}  // namespace quillon
