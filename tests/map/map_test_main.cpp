#include <gtest/gtest.h>

#include "map/map.hpp"

namespace {

// Frees cairo's and fontconfig's process-wide caches once all tests are done.
class DrawingCaches : public ::testing::Environment {
 public:
  void TearDown() override { kelv::gridmap::releaseDrawingCaches(); }
};

const auto* const kCaches = ::testing::AddGlobalTestEnvironment(new DrawingCaches);

}  // namespace
