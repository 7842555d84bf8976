// Shared pieces of the kernel-object tests: names that no other test run
// uses, the path of an object's file, and a fixture that checks that every
// handle and view a test opened was released.
#pragma once

#include <gtest/gtest.h>
#include <platformdebug.h>
#include <windows.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

inline std::string UniqueNarrowName(const std::string& tag) {
  static std::atomic<int> counter{0};
  return "moravane-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1)) + "-" + tag;
}

inline std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }

inline std::u16string UniqueName(const std::string& tag) { return Widen(UniqueNarrowName(tag)); }

// Whether the file that holds the named object exists in the namespace.
inline bool ObjectFileExists(const std::u16string& name) {
  std::string fileName;
  if (!platformdebug::EncodeKernelObjectName(name.c_str(), &fileName)) return false;
  struct stat st;
  return ::stat((platformdebug::KernelNamespaceDirectory() + "/" + fileName).c_str(), &st) == 0;
}

class KernelObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_handles = platformdebug::LiveKernelHandleCount();
    m_views = platformdebug::LiveMappedViewCount();
  }
  void TearDown() override {
    EXPECT_EQ(m_handles, platformdebug::LiveKernelHandleCount()) << "a kernel handle was leaked or closed twice";
    EXPECT_EQ(m_views, platformdebug::LiveMappedViewCount()) << "a view was leaked or unmapped twice";
  }

 private:
  std::int64_t m_handles = 0;
  std::int64_t m_views = 0;
};
