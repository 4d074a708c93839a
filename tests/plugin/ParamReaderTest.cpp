// Reading parameter values for rendering: the module's reader over the headless host's
// checkout callbacks, with the caller's default wherever a value cannot be read.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "plugin/ParamReader.h"
#include "tests/host/HostTestSupport.h"

namespace fm::test {
namespace {

TEST(ParamReader, ReadsEveryNumericTypeAsADouble) {
  auto host = openModule();
  ASSERT_TRUE(host);
  std::string error;
  for (auto [name, text] : {std::pair{"Blur Type", "Box Blur"},
                            {"Blur Radius", "12.25"},
                            {"Iterations", "7"},
                            {"Blur Dimensions", "Vertical"},
                            {"Repeat Edge Pixels", "off"}}) {
    ASSERT_TRUE(host->setParam(name, text, &error)) << error;
  }
  ASSERT_TRUE(host->setParam(4, "-37.25", &error)) << error;  // "Angle Offset"
  const PF_InData in = host->inputRecord();
  EXPECT_EQ(readParam(&in, 1, -1), 4);
  EXPECT_EQ(readParam(&in, 34, -1), 12.25);
  EXPECT_EQ(readParam(&in, 35, -1), 7);
  EXPECT_EQ(readParam(&in, 36, -1), 3);
  EXPECT_EQ(readParam(&in, 37, -1), 0);
  EXPECT_EQ(readParam(&in, 11, -1), 1);  // Gaussian's own check box, untouched
  EXPECT_EQ(readParam(&in, 4, -1), -37.25);
  EXPECT_EQ(host->stats().paramCheckouts, 0) << "every checkout is checked in";
  EXPECT_TRUE(host->stats().faults.empty());
}

TEST(ParamReader, FallsBackWhereNoNumberCanBeRead) {
  host::HostProfile profile;
  profile.refusedCheckouts = {{9, PF_Err_OutOfMemory}, {12, PF_Interrupt_Cancel}};
  auto host = openModule(profile);
  ASSERT_TRUE(host);
  const PF_InData in = host->inputRecord();
  EXPECT_EQ(readParam(&in, 9, 2.5), 2.5);  // checkout refused
  EXPECT_EQ(readParam(&in, 12, 2.5), 2.5);
  EXPECT_EQ(readParam(&in, 6, 2.5), 2.5);   // a layer
  EXPECT_EQ(readParam(&in, 39, 2.5), 2.5);  // a point
  EXPECT_EQ(readParam(&in, 13, 2.5), 2.5);  // a group
  EXPECT_EQ(readParam(&in, 52, 2.5), 2.5);  // no such index
  EXPECT_EQ(readParam(&in, -1, 2.5), 2.5);
  EXPECT_EQ(readParam(nullptr, 3, 2.5), 2.5);

  for (double bad :
       {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
        -std::numeric_limits<double>::infinity()}) {
    PF_ParamValue value = host->params().entry(3).def.u;
    value.floatSlider.value = bad;
    host->pokeParam(3, value);
    EXPECT_EQ(readParam(&in, 3, 2.5), 2.5) << bad;
  }
  PF_InData noCallbacks = in;
  noCallbacks.interact.checkoutParam = nullptr;
  EXPECT_EQ(readParam(&noCallbacks, 34, 2.5), 2.5);
  EXPECT_EQ(host->stats().paramCheckouts, 0);
  EXPECT_TRUE(host->stats().faults.empty());
}

}  // namespace
}  // namespace fm::test
