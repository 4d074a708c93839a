// Setting the module's parameters through the headless host: values from text, names scoped
// by the chosen blur kind, refusals that leave values as they were; and the host's own
// callbacks faced with bad handles.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/host/HostTestSupport.h"

namespace fm::test {
namespace {

const PF_ParamValue& value(const host::HeadlessHost& host, int32_t index) {
  return host.params().entry(index).def.u;
}

TEST(ParamEditing, ValuesFromText) {
  auto host = openModule();
  ASSERT_TRUE(host);
  std::string error;
  const auto set = [&](const std::string& name, const std::string& text) {
    EXPECT_TRUE(host->setParam(name, text, &error)) << name << " = " << text << ": " << error;
  };
  set("Blur Type", "camera lens blur");
  EXPECT_EQ(value(*host, 1).popup.value, 3);
  set("Shape", "Decagon");
  EXPECT_EQ(value(*host, 14).popup.value, 8);
  set("Rotation", "-37.25");
  EXPECT_EQ(value(*host, 17).angle.value, PF_Fixed(-37.25 * 65536));
  set("Aspect Ratio", " 0.01 ");
  EXPECT_EQ(value(*host, 16).floatSlider.value, 0.01);
  set("Invert Blur Map", "on");
  EXPECT_EQ(value(*host, 25).checkbox.value, 1);
  set("Blur Type", "Box Blur");
  set("Iterations", "50");
  EXPECT_EQ(value(*host, 35).intSlider.value, 50);
  set("Blur Type", "Radial Blur");
  set("Center", "100.5, -20");
  EXPECT_EQ(value(*host, 39).point.x, PF_Fixed(100.5 * 65536));
  EXPECT_EQ(value(*host, 39).point.y, PF_Fixed(-20 * 65536));
  EXPECT_TRUE(host->setParam(3, "-500", &error)) << error;  // by index, hidden or not
  EXPECT_EQ(value(*host, 3).floatSlider.value, -500);
  EXPECT_TRUE(host->stats().faults.empty());
}

TEST(ParamEditing, BadTextIsRefusedAndChangesNothing) {
  auto host = openModule();
  ASSERT_TRUE(host);
  ASSERT_TRUE(host->setParam("Blur Type", "Box Blur", nullptr));
  const struct {
    const char* name;
    const char* text;
    const char* says;
  } cases[] = {
      {"Blur Type", "Fog Blur", "no choice \"Fog Blur\""},
      {"Blur Type", "", "no choice"},
      {"Blur Radius", "30000.5", "outside 0 to 30000"},
      {"Blur Radius", "nan", "not a number"},
      {"Blur Radius", "1e999", "not a number"},
      {"Blur Radius", "12px", "not a number"},
      {"Iterations", "2.5", "not a whole number"},
      {"Iterations", "0", "outside 1 to 50"},
      {"Repeat Edge Pixels", "maybe", "neither on nor off"},
      {"Center", "12", "not a point"},
      {"Center", "1e6,3", "not a point"},
      {"Angle Offset", "40000", "not an angle"},
      {"Vector Map", "layer 2", "attached"},
      {"Iris Properties", "on", "holds no value"},
      {"Sharpness", "1", "no parameter is named"},
  };
  for (const auto& c : cases) {
    std::vector<PF_ParamValue> before;
    for (int32_t i = 0; i < host->params().count(); ++i) before.push_back(value(*host, i));
    std::string error;
    EXPECT_FALSE(host->setParam(c.name, c.text, &error)) << c.name << " = " << c.text;
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    for (int32_t i = 0; i < host->params().count(); ++i) {
      EXPECT_EQ(std::memcmp(&before[i], &value(*host, i), sizeof(PF_ParamValue)), 0) << i;
    }
  }
  std::string error;
  EXPECT_FALSE(host->setParam(0, "on", &error));
  EXPECT_FALSE(host->setParam(52, "on", &error));
  EXPECT_NE(error.find("no parameter has index 52"), std::string::npos) << error;
}

TEST(ParamEditing, NamesResolveWithinTheChosenKind) {
  auto host = openModule();
  ASSERT_TRUE(host);
  std::string error;
  EXPECT_EQ(host->findParam("Type", &error), 2) << error;
  EXPECT_EQ(host->findParam("Amount", &error), 3) << error;
  ASSERT_TRUE(host->setParam("Blur Type", "Radial Blur", &error)) << error;
  EXPECT_EQ(host->findParam("Type", &error), 40) << error;
  EXPECT_EQ(host->findParam("Amount", &error), 38) << error;
  ASSERT_TRUE(host->setParam("Blur Type", "Camera Lens Blur", &error)) << error;
  EXPECT_EQ(host->findParam("Repeat Edge Pixels", &error), 32) << error;  // by its label
  EXPECT_EQ(host->findParam("Edge Behavior", &error), 32) << error;
  EXPECT_EQ(host->findParam("Use \"Linear\" Working Space", &error), 33) << error;
  EXPECT_EQ(host->findParam("Blur Radius", &error), 12) << error;
  EXPECT_EQ(host->findParam("blur focal distance", &error), 24) << error;

  // Premiere Pro hides nothing, so shared names stay ambiguous there.
  host::HostProfile premiere;
  premiere.appId = PF_AppId_PremierePro;
  auto other = openModule(premiere);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->findParam("Type", &error), -1);
  EXPECT_NE(error.find("(2, 40)"), std::string::npos) << error;
  EXPECT_EQ(other->findParam("Motion Sensitivity", &error), 46) << error;
}

TEST(HostCallbacks, AbortAndBadHandles) {
  auto host = openModule();
  ASSERT_TRUE(host);
  const PF_InData in = host->inputRecord();
  EXPECT_EQ(in.interact.abort(in.effect), PF_Err_None);
  host->requestAbort(true);
  EXPECT_EQ(in.interact.abort(in.effect), PF_Interrupt_Cancel);
  host->requestAbort(false);
  EXPECT_EQ(in.interact.abort(in.effect), PF_Err_None);
  EXPECT_EQ(host->stats().abortQueries, 3);

  // Pointers the host never handed out are refused, not followed.
  int bogus = 0;
  const auto effect = reinterpret_cast<PF_EffectRef>(&bogus);
  EXPECT_EQ(in.interact.abort(effect), PF_Err_BadCallbackParam);
  PF_ParamDef def{};
  EXPECT_EQ(in.interact.checkoutParam(effect, 1, 0, 1, 24, &def), PF_Err_BadCallbackParam);
  const void* suite = nullptr;
  ASSERT_EQ(in.suites.acquireSuite(in.host, AEGP_StreamSuite, AEGP_StreamSuiteVersion, &suite),
            PF_Err_None);
  const auto* streams = static_cast<const AEGP_StreamSuite11*>(suite);
  EXPECT_EQ(streams->disposeStream(reinterpret_cast<AEGP_StreamRef>(&bogus)),
            PF_Err_BadCallbackParam);
  EXPECT_EQ(in.suites.releaseSuite(in.host, AEGP_StreamSuite, AEGP_StreamSuiteVersion),
            PF_Err_None);
  EXPECT_EQ(in.suites.acquireSuite(in.host, AEGP_StreamSuite, 10, &suite), PF_Err_SuiteNotFound);
  EXPECT_EQ(suite, nullptr);

  EXPECT_TRUE(host->stats().faults.empty());
  EXPECT_EQ(in.suites.releaseSuite(in.host, AEGP_StreamSuite, AEGP_StreamSuiteVersion),
            PF_Err_BadCallbackParam);
  EXPECT_EQ(host->stats().faults.size(), 1u);
}

}  // namespace
}  // namespace fm::test
