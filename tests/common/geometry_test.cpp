#include <gtest/gtest.h>

#include <ostream>

#include "MatrixOperations_Double.h"

namespace {

struct GeometryCase {
  int n, units;
  unsigned int gx, gy;
};

inline std::ostream &operator<<(std::ostream &os, const GeometryCase &c) {
  return os << "N " << c.n << " U " << c.units;
}

class GeometryTest : public testing::TestWithParam<GeometryCase> {};

TEST_P(GeometryTest, SpreadsUnitsOverRowsOf32000Blocks) {
  const GeometryCase c = GetParam();
  const dim3 grid = Launch_Grid(c.n, c.units);
  EXPECT_EQ(grid.x, c.gx);
  EXPECT_EQ(grid.y, c.gy);
  EXPECT_EQ(grid.z, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GeometryTest,
    testing::Values(GeometryCase{1, 16, 1, 1}, GeometryCase{17, 16, 2, 1},
                    GeometryCase{33, 32, 2, 1}, GeometryCase{513, 512, 2, 1},
                    GeometryCase{32000 * 16, 16, 32000, 1},
                    GeometryCase{32000 * 16 + 1, 16, 32000, 2},
                    GeometryCase{32000 * 32 + 1, 32, 32000, 2},
                    GeometryCase{32000 * 512, 512, 32000, 1},
                    GeometryCase{32000 * 512 + 1, 512, 32000, 2},
                    GeometryCase{2147483647, 16, 32000, 4195},
                    // Nothing to do: an empty grid, never a division by zero.
                    GeometryCase{0, 16, 0, 0}, GeometryCase{-5, 32, 0, 0}));

}  // namespace
