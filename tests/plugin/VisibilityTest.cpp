// Which controls the module shows for each blur kind, through hosts that report the HIDDEN flag,
// hosts that do not, Premiere Pro and hosts without some suites.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/host/HostTestSupport.h"
#include "tests/plugin/ExpectedParams.h"

namespace fm::test {
namespace {

const char* const kKinds[] = {"Vector Blur", "Gaussian Blur", "Camera Lens Blur",
                              "Box Blur",    "Radial Blur",   "Motion Blur"};
const char* const kMotionTypes[] = {"Directional Blur", "Tracked Motion Blur"};
const char* const kOutputs[] = {"Motion Blur", "Motion Vectors"};

struct Choice {
  int kind;        // 1..6
  int motionType;  // 1..2
  bool vectors;
};

bool shown(int32_t index, const Choice& c) {
  const std::string owner = expectedParam(index).owner;
  if (owner == "*") return true;
  const int kind = std::string("VGLBRM").find(owner[0]) + 1;
  if (kind != c.kind) return false;
  if (owner == "MD") return c.motionType == 1;
  if (owner == "MT") return c.motionType == 2;
  if (owner == "MTV") return c.motionType == 2 && c.vectors;
  return true;
}

bool isGroupEnd(int32_t index) {
  return expectedParam(index).type == PF_Param_GroupEnd;
}

// Controls whose visibility differs between two choices.
int differences(const Choice& a, const Choice& b) {
  int n = 0;
  for (int32_t i = 2; i < kExpectedParamCount; ++i) {
    n += !isGroupEnd(i) && shown(i, a) != shown(i, b);
  }
  return n;
}

int hiddenCount(const Choice& c) {
  int n = 0;
  for (int32_t i = 2; i < kExpectedParamCount; ++i) n += !isGroupEnd(i) && !shown(i, c);
  return n;
}

void expectShown(const host::HeadlessHost& host, const Choice& c) {
  for (int32_t i = 1; i < kExpectedParamCount; ++i) {
    const bool want = isGroupEnd(i) || shown(i, c);
    EXPECT_EQ(!host.hidden(i), want)
        << "index " << i << " \"" << host.params().panelName(i) << "\" for kind " << c.kind
        << ", motion " << c.motionType << ", vectors " << c.vectors;
  }
}

void choose(host::HeadlessHost& host, const Choice& c) {
  std::string error;
  ASSERT_TRUE(host.setParam("Blur Type", kKinds[c.kind - 1], &error)) << error;
  ASSERT_TRUE(host.setParam("Motion Blur Type", kMotionTypes[c.motionType - 1], &error)) << error;
  ASSERT_TRUE(host.setParam("Output", kOutputs[c.vectors], &error)) << error;
}

void expectNothingHidden(const host::HeadlessHost& host) {
  for (int32_t i = 1; i < kExpectedParamCount; ++i) EXPECT_FALSE(host.hidden(i)) << i;
}

void expectWellBehaved(const host::HeadlessHost& host) {
  const host::HostStats s = host.stats();
  EXPECT_TRUE(s.faults.empty()) << s.faults.front();
  EXPECT_EQ(s.suitesHeld, 0);
  EXPECT_EQ(s.liveStreams, 0);
  EXPECT_EQ(s.liveEffectObjects, 0);
  EXPECT_EQ(s.undoableFlagWrites, 0);
}

TEST(Visibility, EachKindShowsOnlyItsOwnControls) {
  auto host = openModule();
  ASSERT_TRUE(host);
  expectShown(*host, {1, 1, false});
  // Every kind and sub-kind, reached from different previous choices.
  const Choice sequence[] = {{2, 1, false}, {3, 1, false}, {4, 1, false}, {5, 1, false},
                             {6, 1, false}, {6, 2, false}, {6, 2, true},  {6, 1, true},
                             {3, 2, true},  {6, 2, true},  {1, 2, true},  {6, 1, false}};
  for (const Choice& c : sequence) {
    choose(*host, c);
    expectShown(*host, c);
  }
  expectWellBehaved(*host);
}

TEST(Visibility, ComparesBeforeWritingAndRedrawsOnlyOnChange) {
  auto host = openModule();
  ASSERT_TRUE(host);
  // Every control starts shown.
  host::HostStats s = host->stats();
  EXPECT_EQ(s.flagWrites, hiddenCount({1, 1, false}));
  EXPECT_EQ(s.uiRefreshes, 1);

  // Nothing to change: read, but no write, no redraw.
  ASSERT_EQ(host->updateParamsUi(), PF_Err_None);
  ASSERT_EQ(host->userChangedParam(1), PF_Err_None);
  EXPECT_EQ(host->lastOutput().outFlags & PF_OutFlag_RefreshUi, 0u);
  EXPECT_EQ(host->stats().flagWrites, s.flagWrites);
  EXPECT_EQ(host->stats().uiRefreshes, s.uiRefreshes);
  EXPECT_GT(host->stats().flagReads, s.flagReads);

  // A user change rewrites exactly the controls that differ, and asks for a refresh.
  s = host->stats();
  PF_ParamValue value = host->params().entry(1).def.u;
  value.popup.value = 4;
  host->pokeParam(1, value);
  ASSERT_EQ(host->userChangedParam(1), PF_Err_None);
  EXPECT_NE(host->lastOutput().outFlags & PF_OutFlag_RefreshUi, 0u);
  EXPECT_EQ(host->stats().flagWrites - s.flagWrites, differences({1, 1, false}, {4, 1, false}));
  EXPECT_EQ(host->stats().uiRefreshes, s.uiRefreshes + 1);
  expectShown(*host, {4, 1, false});
  expectWellBehaved(*host);
}

TEST(Visibility, HostThatNeverReportsHiddenLatches) {
  ScratchTempDir temp;
  host::HostProfile profile;
  profile.reportsHiddenFlag = false;
  auto host = openModule(profile);
  ASSERT_TRUE(host);
  expectShown(*host, {1, 1, false});  // the host stored what it does not report
  const std::string message =
      "AEGP_GetDynamicStreamFlags does not report HIDDEN: controls are set on type changes only";
  const auto logLines = [&] { return splitLines(readFile(temp.logPath())); };
  ASSERT_EQ(logLines().size(), 1u);
  EXPECT_NE(logLines()[0].find(": " + message), std::string::npos) << logLines()[0];

  // Latched: calls that change no selector touch no flag at all.
  const host::HostStats s = host->stats();
  std::string error;
  ASSERT_TRUE(host->setParam("Amount", "12", &error)) << error;
  ASSERT_EQ(host->userChangedParam(3), PF_Err_None);
  ASSERT_EQ(host->updateParamsUi(), PF_Err_None);
  EXPECT_EQ(host->stats().streamsMade, s.streamsMade);
  EXPECT_EQ(host->stats().flagWrites, s.flagWrites);

  // Selector changes write every control directly, without reading first.
  const int controls = kExpectedParamCount - 2 - 3;  // indices 2 to 51 less the group ends
  ASSERT_TRUE(host->setParam("Blur Type", "Box Blur", &error)) << error;
  EXPECT_EQ(host->stats().flagWrites - s.flagWrites, controls);
  EXPECT_EQ(host->stats().flagReads, s.flagReads);
  expectShown(*host, {4, 1, false});
  choose(*host, {6, 2, true});
  expectShown(*host, {6, 2, true});

  EXPECT_EQ(logLines().size(), 1u) << "the latch logs once";
  expectWellBehaved(*host);
}

TEST(Visibility, PremiereAndHostsWithoutSuitesHideNothing) {
  std::vector<host::HostProfile> profiles(1);
  profiles[0].appId = PF_AppId_PremierePro;
  for (const char* suite : {AEGP_UtilitySuite, AEGP_PFInterfaceSuite, AEGP_StreamSuite,
                            AEGP_DynamicStreamSuite, AEGP_EffectSuite}) {
    profiles.emplace_back();
    profiles.back().withheldSuites = {suite};
  }
  for (const host::HostProfile& profile : profiles) {
    SCOPED_TRACE(profile.withheldSuites.empty() ? "Premiere" : profile.withheldSuites[0]);
    auto host = openModule(profile);
    ASSERT_TRUE(host);
    expectNothingHidden(*host);
    choose(*host, {6, 2, true});
    expectNothingHidden(*host);
    EXPECT_EQ(host->stats().streamsMade, 0);
    expectWellBehaved(*host);
  }

  // Without the parameter utilities the flags are still set; only the redraw is lost.
  host::HostProfile noRedraw;
  noRedraw.withheldSuites = {PF_ParamUtilsSuite};
  auto host = openModule(noRedraw);
  ASSERT_TRUE(host);
  choose(*host, {5, 1, false});
  expectShown(*host, {5, 1, false});
  EXPECT_EQ(host->stats().uiRefreshes, 0);
  expectWellBehaved(*host);
}

TEST(Visibility, SelectorValuesOutOfRangeAreClamped) {
  auto host = openModule();
  ASSERT_TRUE(host);
  const auto poke = [&](int32_t index, int32_t v) {
    PF_ParamValue value = host->params().entry(index).def.u;
    value.popup.value = v;
    host->pokeParam(index, value);
  };
  const struct {
    int32_t kind, motionType;
    Choice seen;
  } cases[] = {{99, 0, {6, 1, false}}, {-3, 2, {1, 2, false}}, {7, 9, {6, 2, false}}};
  for (const auto& c : cases) {
    poke(1, c.kind);
    poke(42, c.motionType);
    ASSERT_EQ(host->updateParamsUi(), PF_Err_None);
    expectShown(*host, c.seen);
  }
  expectWellBehaved(*host);
}

// A host passing no parameter array, a short one, or a damaged "Blur Type".
TEST(Visibility, DamagedParameterArrays) {
  auto host = openModule();
  ASSERT_TRUE(host);
  std::string error;
  ASSERT_TRUE(host->setParam("Blur Type", "Radial Blur", &error)) << error;
  const PF_EffectMainFunc entry = host->entryPoint();
  PF_InData in = host->inputRecord();
  PF_OutData out{};
  const int32_t streams = host->stats().streamsMade;
  EXPECT_EQ(entry(PF_Cmd_UPDATE_PARAMS_UI, &in, &out, nullptr, nullptr, nullptr), PF_Err_None);
  EXPECT_EQ(host->stats().streamsMade, streams);
  expectShown(*host, {5, 1, false});

  // Two entries only: what lies beyond is never read (the sanitizer build checks).
  PF_ParamDef layer = host->params().definition(0), blurType = host->params().definition(1);
  blurType.u.popup.value = 6;
  std::vector<PF_ParamDef*> shortArray = {&layer, &blurType};
  in.paramCount = 2;
  EXPECT_EQ(entry(PF_Cmd_UPDATE_PARAMS_UI, &in, &out, shortArray.data(), nullptr, nullptr),
            PF_Err_None);
  expectShown(*host, {6, 1, false});

  // A "Blur Type" that is no popup counts as missing: the first kind.
  blurType.type = PF_Param_FloatSlider;
  EXPECT_EQ(entry(PF_Cmd_UPDATE_PARAMS_UI, &in, &out, shortArray.data(), nullptr, nullptr),
            PF_Err_None);
  expectShown(*host, {1, 1, false});
  expectWellBehaved(*host);
}

}  // namespace
}  // namespace fm::test
