// Helpers for tests that look at frame files: the output directory, a fresh one per case, and
// reading files back. Platform-neutral.
#pragma once

#include <gtest/gtest.h>

#include "file_bytes.h"

namespace test_files {

// Every case starts from an empty output directory.
class FrameDirTest : public testing::Test {
  protected:
    void SetUp() override {
        fs::remove_all(output_dir());
        fs::create_directories(output_dir());
    }
};

} // namespace test_files
