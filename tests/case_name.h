// Names each case of a parameterised test after its `name` field.
#pragma once

#include <string>

#include <gtest/gtest.h>

namespace test_files {

struct CaseName {
    template <typename Case>
    std::string operator()(const testing::TestParamInfo<Case> &info) const {
        return info.param.name;
    }
};

} // namespace test_files
