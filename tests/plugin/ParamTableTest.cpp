// The parameters the module declares, read back from the headless host's copy of them.
#include <gtest/gtest.h>

#include <string>

#include "tests/host/HostTestSupport.h"
#include "tests/plugin/ExpectedParams.h"

namespace fm::test {
namespace {

std::string joined(const std::vector<std::string>& parts) {
  std::string s;
  for (size_t i = 0; i < parts.size(); ++i) s += (i ? "|" : "") + parts[i];
  return s;
}

TEST(ParamTable, DeclaresEveryParameterAsPromised) {
  auto host = openModule();
  ASSERT_TRUE(host);
  const host::ParamStore& params = host->params();
  ASSERT_EQ(params.count(), kExpectedParamCount);
  EXPECT_EQ(params.entry(0).def.type, PF_Param_Layer);

  for (int32_t index = 1; index < kExpectedParamCount; ++index) {
    SCOPED_TRACE("index " + std::to_string(index));
    const ExpectedParam& want = expectedParam(index);
    const host::ParamEntry& got = params.entry(index);
    const PF_ParamValue& u = got.def.u;
    EXPECT_EQ(got.def.id, want.id);
    EXPECT_STREQ(got.def.name, want.name);
    ASSERT_EQ(got.def.type, want.type);
    EXPECT_EQ(got.def.flags, want.flags);
    EXPECT_EQ(got.def.uiFlags, 0u);
    switch (want.type) {
      case PF_Param_Popup:
        EXPECT_EQ(joined(got.choices), want.text);
        EXPECT_EQ(u.popup.defaultValue, want.defaultValue);
        EXPECT_EQ(u.popup.value, want.defaultValue);
        break;
      case PF_Param_FloatSlider:
        EXPECT_DOUBLE_EQ(u.floatSlider.validMin, want.validMin);
        EXPECT_DOUBLE_EQ(u.floatSlider.validMax, want.validMax);
        EXPECT_DOUBLE_EQ(u.floatSlider.sliderMin, want.sliderMin);
        EXPECT_DOUBLE_EQ(u.floatSlider.sliderMax, want.sliderMax);
        EXPECT_DOUBLE_EQ(u.floatSlider.defaultValue, want.defaultValue);
        EXPECT_EQ(u.floatSlider.precision, want.precision);
        EXPECT_EQ(u.floatSlider.displayFlags, want.display);
        EXPECT_FLOAT_EQ(u.floatSlider.curveTolerance, 0.05f);
        break;
      case PF_Param_IntSlider:
        EXPECT_EQ(u.intSlider.validMin, want.validMin);
        EXPECT_EQ(u.intSlider.validMax, want.validMax);
        EXPECT_EQ(u.intSlider.sliderMin, want.sliderMin);
        EXPECT_EQ(u.intSlider.sliderMax, want.sliderMax);
        EXPECT_EQ(u.intSlider.defaultValue, want.defaultValue);
        break;
      case PF_Param_Angle:
        EXPECT_EQ(u.angle.defaultValue, PF_Fixed(want.defaultValue * 65536));
        break;
      case PF_Param_Checkbox:
        EXPECT_EQ(got.label, want.text);
        EXPECT_EQ(u.checkbox.defaultValue, want.defaultValue);
        break;
      case PF_Param_Point:
        EXPECT_EQ(u.point.defaultXPercent, PF_Fixed(want.defaultValue * 65536));
        EXPECT_EQ(u.point.defaultYPercent, PF_Fixed(want.defaultValue * 65536));
        break;
      case PF_Param_Layer:
        EXPECT_EQ(u.layer.defaultLayer, PF_LayerDefault_None);
        break;
      default:
        break;
    }
  }
  // The point's default lands mid-layer.
  const PF_PointParam& center = params.entry(39).def.u.point;
  EXPECT_EQ(center.x, 960 << 16);
  EXPECT_EQ(center.y, 540 << 16);
}

// A host that refuses a declaration gets its error back, and nothing after it is declared.
TEST(ParamTable, DeclarationStopsAtTheFirstHostError) {
  for (int32_t refused : {1, 13, 39, 51}) {
    SCOPED_TRACE("refused at " + std::to_string(refused));
    host::HostProfile profile;
    profile.refuseParamAt = refused;
    profile.addParamError = 4 + refused;
    profile.privateModuleCopy = true;
    std::string error;
    auto host = host::HeadlessHost::load(FM_MODULE_PATH, profile, &error);
    ASSERT_TRUE(host) << error;
    ASSERT_EQ(host->globalSetup(), PF_Err_None);
    EXPECT_EQ(host->setUpParams(), 4 + refused);
    EXPECT_EQ(host->params().count(), refused);
    EXPECT_EQ(host->lastOutput().paramCount, 0);
    EXPECT_TRUE(host->stats().faults.empty());
  }
}

}  // namespace
}  // namespace fm::test
