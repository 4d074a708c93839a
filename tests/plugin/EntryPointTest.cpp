// The module's identity and its answers to commands other than the parameter ones.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/host/HostTestSupport.h"

namespace fm::test {
namespace {

TEST(EntryPoint, PropertyListCarriesTheEffectsIdentity) {
  auto host = openModule();
  ASSERT_TRUE(host);
  const host::PropertyList& list = host->propertyList();
  EXPECT_EQ(list.kind, "eFKT");
  EXPECT_EQ(list.name, "Fogmill");
  EXPECT_EQ(list.category, "Kettlebrook");
  EXPECT_EQ(list.entryPoint, "EffectMain");
  EXPECT_EQ(list.matchName, "FGML Fogmill");
  EXPECT_EQ(list.listVersion[0], 2);
  EXPECT_EQ(list.listVersion[1], 0);
  EXPECT_EQ(list.interfaceVersion[0], 13);
  EXPECT_EQ(list.interfaceVersion[1], 28);
  EXPECT_EQ(list.version, 0x00088600u);
  EXPECT_EQ(list.infoFlags, 0u);
  EXPECT_EQ(list.outFlags, 0x06000202u);
  EXPECT_EQ(list.outFlags2, 0x0A221408u);
  EXPECT_EQ(list.reservedInfo, 0u);
  EXPECT_EQ(list.url.rfind("https://", 0), 0u) << list.url;

  // Global setup reports what the list says (the host refuses to start otherwise).
  EXPECT_EQ(host->globalSetupOutput().version, list.version);
  EXPECT_EQ(host->globalSetupOutput().outFlags, list.outFlags);
  EXPECT_EQ(host->globalSetupOutput().outFlags2, list.outFlags2);
}

TEST(EntryPoint, AboutText) {
  auto host = openModule();
  ASSERT_TRUE(host);
  const std::string& text = host->aboutText();
  const std::string opening =
      "Fogmill v1.1.0\r\r"
      "Vector, Gaussian, Camera Lens, Box, Radial and Motion Blur (directional or tracked from "
      "the footage's own motion) in one GPU-accelerated effect.\r\r";
  ASSERT_EQ(text.substr(0, opening.size()), opening);
  const std::string credits = text.substr(opening.size());
  EXPECT_NE(credits.find("Kettlebrook"), std::string::npos) << credits;
  EXPECT_NE(credits.find("2026"), std::string::npos) << credits;
  EXPECT_NE(credits.find(host->propertyList().url), std::string::npos) << credits;
  EXPECT_EQ(credits.find('\n'), std::string::npos) << "lines break at carriage returns";
}

TEST(EntryPoint, RegistersWithTheHostUnlessPremiereOrNoRegistry) {
  auto host = openModule();
  ASSERT_TRUE(host);
  EXPECT_EQ(host->stats().registrations, 1);
  EXPECT_EQ(host->stats().registeredName, "Fogmill");

  host::HostProfile premiere;
  premiere.appId = PF_AppId_PremierePro;
  host::HostProfile noRegistry;
  noRegistry.withheldSuites = {AEGP_UtilitySuite};
  for (const host::HostProfile& profile : {premiere, noRegistry}) {
    auto other = openModule(profile);
    ASSERT_TRUE(other);
    EXPECT_EQ(other->stats().registrations, 0);
    // Registration failing is no error: the same version and flags.
    EXPECT_EQ(other->globalSetupOutput().outFlags2, host->globalSetupOutput().outFlags2);
    EXPECT_TRUE(other->stats().faults.empty());
  }
}

TEST(EntryPoint, UnknownSelectorsDoNothing) {
  auto host = openModule();
  ASSERT_TRUE(host);
  const host::HostStats before = host->stats();
  for (PF_Cmd command : {-1, 2, 3, 5, 12, 15, 22, 25, 30, 34, 1000}) {
    PF_OutData out;
    EXPECT_EQ(host->command(command, nullptr, &out), PF_Err_None) << command;
    PF_OutData untouched;
    std::memset(&untouched, 0, sizeof(untouched));
    EXPECT_EQ(std::memcmp(&out, &untouched, sizeof(out)), 0) << command;
  }
  const host::HostStats after = host->stats();
  EXPECT_EQ(after.streamsMade, before.streamsMade);
  EXPECT_EQ(after.flagReads, before.flagReads);
  EXPECT_TRUE(after.faults.empty());
}

// Records a host must pass, missing: an error, never a crash.
TEST(EntryPoint, MissingRecordsAreRefused) {
  auto host = openModule();
  ASSERT_TRUE(host);
  const PF_EffectMainFunc entry = host->entryPoint();
  PF_InData in = host->inputRecord();
  PF_OutData out{};
  EXPECT_EQ(entry(PF_Cmd_ABOUT, &in, nullptr, nullptr, nullptr, nullptr), PF_Err_BadCallbackParam);
  EXPECT_EQ(entry(PF_Cmd_GLOBAL_SETUP, &in, nullptr, nullptr, nullptr, nullptr),
            PF_Err_BadCallbackParam);
  EXPECT_EQ(entry(PF_Cmd_PARAMS_SETUP, nullptr, &out, nullptr, nullptr, nullptr),
            PF_Err_BadCallbackParam);
  PF_InData noCallbacks = in;
  noCallbacks.interact.addParam = nullptr;
  EXPECT_EQ(entry(PF_Cmd_PARAMS_SETUP, &noCallbacks, &out, nullptr, nullptr, nullptr),
            PF_Err_BadCallbackParam);
  EXPECT_EQ(host->command(PF_Cmd_USER_CHANGED_PARAM, nullptr, &out), PF_Err_BadCallbackParam);
  // Global setup without an input record still reports the flags; it just cannot register.
  EXPECT_EQ(entry(PF_Cmd_GLOBAL_SETUP, nullptr, &out, nullptr, nullptr, nullptr), PF_Err_None);
  EXPECT_EQ(out.outFlags, host->propertyList().outFlags);
  EXPECT_EQ(host->stats().registrations, 1);
}

}  // namespace
}  // namespace fm::test
